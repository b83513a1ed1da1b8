// Whole-process benchmarks of the channel against its peers, the idle cost of
// the programs, the end-to-end rate against the reader's own output limit,
// and the programs' memory. Every comparison runs its peers in one run,
// interleaved round by round, and reports medians and ratios.
//
//   process_bench [--quick] BUILD_DIR
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(TELVANE_BENCH_ZMQ)
#include <zmq.h>
#endif

#include <telvane/telvane.hpp>

#include "channel.hpp"
#include "cursor.hpp"
#include "inspect.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool quick = false;
std::string build_dir;
std::string scratch;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double percentile(const std::vector<double>& sorted, double p) {
  return sorted[std::min(sorted.size() - 1,
                         static_cast<std::size_t>(p * static_cast<double>(sorted.size())))];
}

// --- one record in every transport: the same ten values, id, value, text --

constexpr std::int32_t kCount = 10;
const double kValues[kCount] = {0, 1, 1, 2, 3, 5, 8, 13, 21, 34};

struct Wire {
  std::int32_t id;
  std::int32_t count;
  double value;
  double data[kCount];
  char text[8];
};

Wire wire_for(std::int32_t id) {
  Wire wire{};
  wire.id = id;
  wire.count = kCount;
  wire.value = 0.1;
  std::memcpy(wire.data, kValues, sizeof wire.data);
  std::memcpy(wire.text, "today", 6);
  return wire;
}

// What getStream hands back, built from the bytes as a reader would.
Stream stream_from(const Wire& wire) {
  Stream stream;
  stream.id = wire.id;
  stream.value = wire.value;
  stream.data.assign(wire.data, wire.data + wire.count);
  stream.text.assign(wire.text);
  return stream;
}

void read_exactly(int fd, void* bytes, std::size_t size) {
  auto* at = static_cast<char*>(bytes);
  while (size > 0) {
    const ssize_t got = ::read(fd, at, size);
    if (got <= 0) throw std::runtime_error("read failed");
    at += got;
    size -= static_cast<std::size_t>(got);
  }
}

void write_exactly(int fd, const void* bytes, std::size_t size) {
  const auto* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t put = ::write(fd, at, size);
    if (put <= 0) throw std::runtime_error("write failed");
    at += put;
    size -= static_cast<std::size_t>(put);
  }
}

using Figures = std::vector<double>;

// Runs body in a child process; its figures come back through a pipe.
pid_t fork_child(const std::function<Figures()>& body, int& result_fd) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    Figures figures;
    try {
      figures = body();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "bench child: %s\n", error.what());
      ::_exit(1);
    }
    const std::size_t count = figures.size();
    write_exactly(fds[1], &count, sizeof count);
    write_exactly(fds[1], figures.data(), count * sizeof(double));
    ::_exit(0);
  }
  ::close(fds[1]);
  result_fd = fds[0];
  return pid;
}

Figures child_result(pid_t pid, int fd) {
  std::size_t count = 0;
  read_exactly(fd, &count, sizeof count);
  Figures figures(count);
  read_exactly(fd, figures.data(), count * sizeof(double));
  ::close(fd);
  ::waitpid(pid, nullptr, 0);
  return figures;
}

// A producer child and a consumer child; returns the consumer's one figure.
double run_pair(const std::function<Figures()>& producer,
                const std::function<Figures()>& consumer) {
  int consumer_fd = -1, producer_fd = -1;
  const pid_t consuming = fork_child(consumer, consumer_fd);
  const pid_t producing = fork_child(producer, producer_fd);
  child_result(producing, producer_fd);
  return child_result(consuming, consumer_fd).at(0);
}

std::string fresh_path(const std::string& name) {
  std::string path = scratch + "/" + name;
  ::unlink(path.c_str());
  return path;
}

// --- 1. one-way throughput ---------------------------------------------------

// Streams per second, timed from the first stream to the last at the consumer.
double telvane_throughput(long n) {
  const std::string path = fresh_path("throughput");
  return run_pair(
      [&] {
        ::setenv("TELVANE_CHANNEL", path.c_str(), 1);
        labviewInit();
        for (long i = 0; i < n; ++i)
          sendStream(static_cast<std::int32_t>(i), "today", 0.1, kValues, kCount);
        labviewDestroy();
        return Figures{};
      },
      [&] {
        ::setenv("TELVANE_CHANNEL", path.c_str(), 1);
        cppInit();
        getStream();
        const auto start = Clock::now();
        for (long i = 1; i < n; ++i) {
          const Stream stream = getStream();
          if (stream.id != i) throw std::runtime_error("out of order");
        }
        return Figures{static_cast<double>(n - 1) / seconds_since(start)};
      });
}

double descriptor_throughput(long n, bool socket) {
  int fds[2];
  if (socket ? ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0 : ::pipe(fds) != 0) {
    throw std::runtime_error("cannot make the descriptors");
  }
  const double rate = run_pair(
      [&] {
        ::close(fds[0]);
        for (long i = 0; i < n; ++i) {
          const Wire wire = wire_for(static_cast<std::int32_t>(i));
          write_exactly(fds[1], &wire, sizeof wire);
        }
        return Figures{};
      },
      [&] {
        ::close(fds[1]);
        Wire wire{};
        read_exactly(fds[0], &wire, sizeof wire);
        const auto start = Clock::now();
        for (long i = 1; i < n; ++i) {
          read_exactly(fds[0], &wire, sizeof wire);
          const Stream stream = stream_from(wire);
          if (stream.id != i) throw std::runtime_error("out of order");
        }
        return Figures{static_cast<double>(n - 1) / seconds_since(start)};
      });
  ::close(fds[0]);
  ::close(fds[1]);
  return rate;
}

#if defined(TELVANE_BENCH_ZMQ)
std::string zmq_endpoint(const std::string& name) { return "ipc://" + fresh_path(name); }

double zmq_throughput(long n) {
  const std::string endpoint = zmq_endpoint("zmq-throughput");
  return run_pair(
      [&] {
        void* context = zmq_ctx_new();
        void* socket = zmq_socket(context, ZMQ_PUSH);
        int hwm = 100000;
        zmq_setsockopt(socket, ZMQ_SNDHWM, &hwm, sizeof hwm);
        zmq_connect(socket, endpoint.c_str());
        for (long i = 0; i < n; ++i) {
          const Wire wire = wire_for(static_cast<std::int32_t>(i));
          zmq_send(socket, &wire, sizeof wire, 0);
        }
        zmq_close(socket);
        zmq_ctx_term(context);
        return Figures{};
      },
      [&] {
        void* context = zmq_ctx_new();
        void* socket = zmq_socket(context, ZMQ_PULL);
        zmq_bind(socket, endpoint.c_str());
        Wire wire{};
        zmq_recv(socket, &wire, sizeof wire, 0);
        const auto start = Clock::now();
        for (long i = 1; i < n; ++i) {
          zmq_recv(socket, &wire, sizeof wire, 0);
          const Stream stream = stream_from(wire);
          if (stream.id != i) throw std::runtime_error("out of order");
        }
        const double rate = static_cast<double>(n - 1) / seconds_since(start);
        zmq_close(socket);
        zmq_ctx_term(context);
        return Figures{rate};
      });
}
#endif

// --- 2. round-trip latency ---------------------------------------------------

struct Latency {
  double p50_us;
  double p99_us;
};

// The pinger sends, waits for the answer, and after `gap` sends again; a gap
// longer than the spin puts the answering side to sleep before each ping.
template <class Ping, class Answer>
Latency ping_pong(int rounds, std::chrono::microseconds gap, Ping ping, Answer answer) {
  int ping_fd = -1;
  int answer_fd = -1;
  const pid_t answering = fork_child(
      [&] {
        answer(rounds);
        return Figures{};
      },
      answer_fd);
  const pid_t pinging = fork_child([&] { return ping(rounds, gap); }, ping_fd);
  Figures times = child_result(pinging, ping_fd);
  child_result(answering, answer_fd);
  std::sort(times.begin(), times.end());
  return {percentile(times, 0.50), percentile(times, 0.99)};
}

// Times n trips, each after `pause`: the pinger's side of every transport.
template <class Trip>
Figures timed_trips(int n, std::chrono::microseconds pause, Trip trip) {
  Figures times;
  for (int i = 0; i < n; ++i) {
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
    const auto start = Clock::now();
    trip(i);
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return times;
}

Latency telvane_latency(int rounds, std::chrono::microseconds gap) {
  const std::string there = fresh_path("ping"), back = fresh_path("pong");
  return ping_pong(
      rounds, gap,
      [&](int n, std::chrono::microseconds pause) {
        const auto out = telvane::Channel::open(there, telvane::Role::sender);
        const auto in = telvane::Channel::open(back, telvane::Role::reader);
        telvane::StreamWriter writer{*out};
        telvane::StreamReader reader{*in};
        return timed_trips(n, pause, [&](int i) {
          writer.write(i, "today", 0.1, kValues);
          reader.next();
        });
      },
      [&](int n) {
        const auto in = telvane::Channel::open(there, telvane::Role::reader);
        const auto out = telvane::Channel::open(back, telvane::Role::sender);
        telvane::StreamReader reader{*in};
        telvane::StreamWriter writer{*out};
        for (int i = 0; i < n; ++i) {
          const Stream stream = reader.next();
          writer.write(stream.id, stream.text, stream.value, stream.data);
        }
      });
}

Latency descriptor_latency(int rounds, std::chrono::microseconds gap, bool socket) {
  int there[2], back[2];
  if (socket) {
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, there) != 0)
      throw std::runtime_error("socketpair");
    back[0] = there[1];  // a socket pair is both ways
    back[1] = there[0];
  } else if (::pipe(there) != 0 || ::pipe(back) != 0) {
    throw std::runtime_error("pipe");
  }
  const Latency latency = ping_pong(
      rounds, gap,
      [&](int n, std::chrono::microseconds pause) {
        return timed_trips(n, pause, [&](int i) {
          Wire wire = wire_for(i);
          write_exactly(there[1], &wire, sizeof wire);
          read_exactly(back[0], &wire, sizeof wire);
          const Stream stream = stream_from(wire);
        });
      },
      [&](int n) {
        Wire wire{};
        for (int i = 0; i < n; ++i) {
          read_exactly(there[0], &wire, sizeof wire);
          const Stream stream = stream_from(wire);
          write_exactly(back[1], &wire, sizeof wire);
        }
      });
  for (const int fd : {there[0], there[1]}) ::close(fd);
  if (!socket) {
    for (const int fd : {back[0], back[1]}) ::close(fd);
  }
  return latency;
}

#if defined(TELVANE_BENCH_ZMQ)
Latency zmq_latency(int rounds, std::chrono::microseconds gap) {
  const std::string endpoint = zmq_endpoint("zmq-pair");
  return ping_pong(
      rounds, gap,
      [&](int n, std::chrono::microseconds pause) {
        void* context = zmq_ctx_new();
        void* socket = zmq_socket(context, ZMQ_PAIR);
        zmq_connect(socket, endpoint.c_str());
        Figures times = timed_trips(n, pause, [&](int i) {
          Wire wire = wire_for(i);
          zmq_send(socket, &wire, sizeof wire, 0);
          zmq_recv(socket, &wire, sizeof wire, 0);
          const Stream stream = stream_from(wire);
        });
        zmq_close(socket);
        zmq_ctx_term(context);
        return times;
      },
      [&](int n) {
        void* context = zmq_ctx_new();
        void* socket = zmq_socket(context, ZMQ_PAIR);
        zmq_bind(socket, endpoint.c_str());
        Wire wire{};
        for (int i = 0; i < n; ++i) {
          zmq_recv(socket, &wire, sizeof wire, 0);
          const Stream stream = stream_from(wire);
          zmq_send(socket, &wire, sizeof wire, 0);
        }
        zmq_close(socket);
        zmq_ctx_term(context);
      });
}
#endif

// --- programs ------------------------------------------------------------------

// Starts a program with stdin from input_path (or /dev/null) and stdout to
// /dev/null, on channel.
pid_t start_program(const std::string& program, const std::string& channel,
                    const std::string& input_path = "/dev/null") {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("TELVANE_CHANNEL", channel.c_str(), 1);
    const int in = ::open(input_path.c_str(), O_RDONLY);
    const int out = ::open("/dev/null", O_WRONLY);
    const int err = ::open((scratch + "/stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// CPU time a process has used, in seconds, from the scheduler's nanosecond
// count.
double cpu_seconds(pid_t pid) {
  std::ifstream file{"/proc/" + std::to_string(pid) + "/schedstat"};
  double nanoseconds = 0;
  file >> nanoseconds;
  return nanoseconds / 1e9;
}

long peak_rss_kb_of(pid_t pid) {
  std::ifstream file{"/proc/" + std::to_string(pid) + "/status"};
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

std::string commands_file(long n) {
  std::string path = scratch + "/commands-" + std::to_string(n);
  std::ofstream file{path};
  for (long i = 0; i < n; ++i) file << "Send Stream " << i << '\n';
  file << "Exit\n";
  return path;
}

void stop(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Waits until the sender has ended and the reader holds the last stream.
// Only the cursors are read, from a mapping of the header, so that watching
// costs the two programs next to nothing.
void wait_drained(pid_t sender, const std::string& channel) {
  const int fd = ::open(channel.c_str(), O_RDONLY);
  void* mapping = ::mmap(nullptr, telvane::layout::kHeaderBytes, PROT_READ, MAP_SHARED, fd, 0);
  const auto& header = *static_cast<const telvane::layout::ChannelHeader*>(mapping);
  constexpr std::uint64_t kOneRecord = 128;  // a ten-value stream, aligned
  bool sender_done = false;
  for (;;) {
    if (!sender_done) sender_done = ::waitpid(sender, nullptr, WNOHANG) == sender;
    if (sender_done && header.write_cursor.load() - header.read_cursor.load() <= kOneRecord) break;
    std::this_thread::sleep_for(200us);
  }
  ::munmap(mapping, telvane::layout::kHeaderBytes);
  ::close(fd);
}

struct Idle {
  double reader_cpu_ms;
  double sender_cpu_ms;
};

Idle idle_cost(std::chrono::seconds window) {
  const std::string reader_channel = fresh_path("idle-reader");
  const pid_t reader = start_program(build_dir + "/reader/reader", reader_channel);
  // The sender fills the channel with no reader, then waits for one.
  const std::string sender_channel = fresh_path("idle-sender");
  const pid_t sender =
      start_program(build_dir + "/sender/sender", sender_channel, commands_file(20000));
  std::this_thread::sleep_for(1s);
  const double reader_before = cpu_seconds(reader), sender_before = cpu_seconds(sender);
  std::this_thread::sleep_for(window);
  Idle idle{(cpu_seconds(reader) - reader_before) * 1e3,
            (cpu_seconds(sender) - sender_before) * 1e3};
  stop(reader);
  stop(sender);
  return idle;
}

// Streams per second from the first command to the reader's last line.
double end_to_end(const std::string& commands, long n) {
  const std::string channel = fresh_path("end-to-end");
  const pid_t reader = start_program(build_dir + "/reader/reader", channel);
  while (::access(channel.c_str(), F_OK) != 0) std::this_thread::sleep_for(100us);
  const auto start = Clock::now();
  const pid_t sender = start_program(build_dir + "/sender/sender", channel, commands);
  wait_drained(sender, channel);
  const double rate = static_cast<double>(n) / seconds_since(start);
  stop(reader);
  return rate;
}

// The reader's own output, two flushed lines per stream, with no channel.
double output_limit(long n) {
  const pid_t pid = ::fork();
  const auto start = Clock::now();
  if (pid == 0) {
    const int out = ::open("/dev/null", O_WRONLY);
    ::dup2(out, 1);
    const std::string program = build_dir + "/bench/output_limit";
    const std::string count = std::to_string(n);
    ::execl(program.c_str(), program.c_str(), count.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::waitpid(pid, nullptr, 0);
  return static_cast<double>(n) / seconds_since(start);
}

struct Memory {
  long sender_kb;
  long reader_kb;
};

Memory memory_after(long n) {
  const std::string channel = fresh_path("memory");
  const pid_t reader = start_program(build_dir + "/reader/reader", channel);
  while (::access(channel.c_str(), F_OK) != 0) std::this_thread::sleep_for(100us);
  const pid_t sender = start_program(build_dir + "/sender/sender", channel, commands_file(n));
  // The sender ends by itself: its high-water mark is read while it runs.
  long sender_kb = 0;
  while (::waitpid(sender, nullptr, WNOHANG) != sender) {
    sender_kb = std::max(sender_kb, peak_rss_kb_of(sender));
    std::this_thread::sleep_for(1ms);
  }
  while (telvane::inspect_channel(channel).streams_waiting > 1) std::this_thread::sleep_for(1ms);
  const long reader_kb = peak_rss_kb_of(reader);
  stop(reader);
  return {sender_kb, reader_kb};
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else {
      build_dir = argv[i];
    }
  }
  if (build_dir.empty()) {
    std::fprintf(stderr, "usage: process_bench [--quick] BUILD_DIR\n");
    return 2;
  }
  char pattern[] = "/tmp/telvane-bench-XXXXXX";
  scratch = ::mkdtemp(pattern);

  const int rounds = quick ? 1 : 5;
  const long n = quick ? 20000 : 1000000;
  std::map<std::string, std::vector<double>> rates;
  for (int round = 0; round < rounds; ++round) {
    rates["telvane"].push_back(telvane_throughput(n));
    rates["pipe"].push_back(descriptor_throughput(n, false));
    rates["unix seqpacket"].push_back(descriptor_throughput(n, true));
#if defined(TELVANE_BENCH_ZMQ)
    rates["zeromq ipc"].push_back(zmq_throughput(n));
#endif
  }
  const double telvane_rate = median(rates["telvane"]);
  std::printf("## One-way throughput, %ld ten-value streams, median of %d\n\n", n, rounds);
  std::printf("| transport | streams/s | telvane is |\n|---|---:|---:|\n");
  for (const auto& [name, values] : rates) {
    std::printf("| %s | %.0f | %.1fx |\n", name.c_str(), median(values),
                telvane_rate / median(values));
  }

  const int pings = quick ? 2000 : 100000;
  const int sleepy_pings = quick ? 200 : 5000;
  std::printf("\n## Round trip, p50 / p99 in microseconds\n\n");
  std::printf("| transport | awake (%d trips) | asleep, 1 ms apart (%d trips) |\n|---|---:|---:|\n",
              pings, sleepy_pings);
  const auto row = [&](const char* name, Latency awake, Latency asleep) {
    std::printf("| %s | %.2f / %.2f | %.2f / %.2f |\n", name, awake.p50_us, awake.p99_us,
                asleep.p50_us, asleep.p99_us);
  };
  row("telvane", telvane_latency(pings, 0us), telvane_latency(sleepy_pings, 1000us));
  row("pipe", descriptor_latency(pings, 0us, false),
      descriptor_latency(sleepy_pings, 1000us, false));
  row("unix seqpacket", descriptor_latency(pings, 0us, true),
      descriptor_latency(sleepy_pings, 1000us, true));
#if defined(TELVANE_BENCH_ZMQ)
  row("zeromq ipc", zmq_latency(pings, 0us), zmq_latency(sleepy_pings, 1000us));
#endif

  const auto window = quick ? 1s : 10s;
  const Idle idle = idle_cost(window);
  std::printf("\n## Idle cost over %lld s\n\n| program | CPU time |\n|---|---:|\n",
              static_cast<long long>(window.count()));
  std::printf("| reader waiting for a stream | %.3f ms |\n", idle.reader_cpu_ms);
  std::printf("| sender waiting on a full channel | %.3f ms |\n", idle.sender_cpu_ms);

  const long commands = quick ? 20000 : 200000;
  const std::string input = commands_file(commands);
  std::vector<double> through, limit;
  for (int round = 0; round < (quick ? 1 : 5); ++round) {
    through.push_back(end_to_end(input, commands));
    limit.push_back(output_limit(commands));
  }
  std::printf("\n## End to end, %ld commands, output to /dev/null, median of %zu\n\n", commands,
              through.size());
  std::printf("| run | streams/s |\n|---|---:|\n");
  std::printf("| sender -> channel -> reader | %.0f |\n", median(through));
  std::printf("| the reader's output alone (the limit) | %.0f |\n", median(limit));
  std::printf("| ratio | %.0f%% |\n", 100 * median(through) / median(limit));

  std::printf("\n## Peak resident size\n\n| streams | sender | reader |\n|---:|---:|---:|\n");
  for (const long streams : {1000L, quick ? 20000L : 1000000L}) {
    const Memory memory = memory_after(streams);
    std::printf("| %ld | %ld KiB | %ld KiB |\n", streams, memory.sender_kb, memory.reader_kb);
  }

  std::filesystem::remove_all(scratch);
  return 0;
}
