// telvane-channel: shows what is in a channel, and removes one.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "channel.hpp"
#include "inspect.hpp"

namespace {

constexpr const char* kHelp =
    "Usage: telvane-channel info [NAME]\n"
    "       telvane-channel remove [NAME]\n"
    "\n"
    "  info    prints the channel's path, its capacity, the bytes and streams\n"
    "          waiting for a reader (the one a reader holds included), both\n"
    "          cursors, and whether a sender and a reader are attached, with\n"
    "          their process ids.\n"
    "  remove  removes the channel file; refused while a sender or a reader\n"
    "          is attached.\n"
    "\n"
    "NAME is what TELVANE_CHANNEL would say: a bare name for a per-user channel\n"
    "in /dev/shm, or a path with a '/'. Without NAME, the channel that\n"
    "TELVANE_CHANNEL selects for the programs (the default channel when unset).\n"
    "\n"
    "Exit status: 0 on success, 1 when the channel is missing, refused or\n"
    "attached, 2 on a usage error.\n";

std::string attachment_text(const telvane::Attachment& attachment) {
  if (!attachment.attached) return "not attached";
  if (attachment.pid == 0) return "attached";
  return "attached (pid " + std::to_string(attachment.pid) + ")";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  const bool info = argc >= 2 && std::strcmp(argv[1], "info") == 0;
  const bool remove = argc >= 2 && std::strcmp(argv[1], "remove") == 0;
  if ((!info && !remove) || argc > 3) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  try {
    const std::string path =
        argc == 3 ? telvane::channel_path(argv[2]) : telvane::channel_path_from_environment();
    if (remove) {
      telvane::remove_channel(path);
      std::printf("removed %s\n", path.c_str());
      return 0;
    }
    const telvane::ChannelReport report = telvane::inspect_channel(path);
    std::printf("channel:      %s\n", report.path.c_str());
    std::printf("capacity:     %llu bytes\n", static_cast<unsigned long long>(report.capacity));
    std::printf("waiting:      %llu streams, %llu bytes\n",
                static_cast<unsigned long long>(report.streams_waiting),
                static_cast<unsigned long long>(report.bytes_waiting));
    std::printf("read cursor:  %llu\n", static_cast<unsigned long long>(report.read_cursor));
    std::printf("write cursor: %llu\n", static_cast<unsigned long long>(report.write_cursor));
    std::printf("sender:       %s\n", attachment_text(report.sender).c_str());
    std::printf("reader:       %s\n", attachment_text(report.reader).c_str());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
