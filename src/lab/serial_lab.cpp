// serial-lab: runs a command inside a virtual serial lab, a private mount
// namespace whose /dev is a fresh tmpfs holding only null, zero, full, random,
// urandom, tty, a private devpts with ptmx, and pseudo-terminals at the serial
// device paths asked for. The host's /dev is never written.
//
//   serial-lab [--echo PATH]... [--drain PATH]... [--] COMMAND [ARG]...
//
// The demo runs in it; tests put ptys at device paths themselves (far_end.h,
// and lab.SerialLab of the test harness); these options serve programs that
// only need a peer:
// --echo PATH   a pty at PATH whose far end sends back every byte it receives.
// --drain PATH  a pty at PATH whose far end reads and discards everything.
//
// Exit status: COMMAND's; 77 when the lab cannot be built (a skip for ctest),
// or 1 when CI=true, where a missing lab is a failure.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lab/far_end.h"

namespace {

constexpr int kSkipStatus = 77;

[[noreturn]] void cannotBuild(const std::string& step) {
  const char* ci = std::getenv("CI");
  const bool inCi = ci != nullptr && std::strcmp(ci, "true") == 0;
  std::fprintf(stderr, "serial-lab: cannot build the serial lab: %s: %s%s\n", step.c_str(),
               std::strerror(errno), inCi ? "" : " (skipped; under CI=true this fails)");
  std::exit(inCi ? 1 : kSkipStatus);
}

void writeFile(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    cannotBuild(std::string("write ") + path);
  }
  close(fd);
}

void enterPrivateNamespace() {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (uid == 0) {
    if (unshare(CLONE_NEWNS) != 0) cannotBuild("unshare(CLONE_NEWNS)");
  } else {
    // As a normal user: become root of a new user namespace, which may then
    // make mounts that only this process and its children see.
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      cannotBuild("unshare(CLONE_NEWUSER|CLONE_NEWNS)");
    }
    writeFile("/proc/self/setgroups", "deny");
    writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    cannotBuild("make / private");
  }
}

void bindHostNode(int hostDev, const char* name) {
  const int node = openat(hostDev, name, O_PATH | O_CLOEXEC);
  if (node < 0) cannotBuild(std::string("find host /dev/") + name);
  const std::string target = std::string("/dev/") + name;
  const int placeholder = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  if (placeholder < 0) cannotBuild("create " + target);
  close(placeholder);
  const std::string source = "/proc/self/fd/" + std::to_string(node);
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    cannotBuild("bind " + target);
  }
  close(node);
}

void buildDev() {
  // The host's /dev stays reachable through this descriptor while the fresh
  // tmpfs hides it, so its few harmless nodes can be bound into the new one.
  const int hostDev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (hostDev < 0) cannotBuild("open /dev");
  if (mount("serial-lab", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=4m") != 0) {
    cannotBuild("mount tmpfs on /dev");
  }
  for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"}) {
    bindHostNode(hostDev, name);
  }
  close(hostDev);
  if (mkdir("/dev/pts", 0755) != 0 || mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
                                            "newinstance,ptmxmode=0666,mode=0620") != 0) {
    cannotBuild("mount a private devpts");
  }
  if (symlink("pts/ptmx", "/dev/ptmx") != 0) cannotBuild("link /dev/ptmx");
  if (mkdir("/dev/shm", 01777) != 0 ||
      mount("shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=16m") != 0) {
    cannotBuild("mount /dev/shm");
  }
  symlink("/proc/self/fd", "/dev/fd");
  symlink("/proc/self/fd/0", "/dev/stdin");
  symlink("/proc/self/fd/1", "/dev/stdout");
  symlink("/proc/self/fd/2", "/dev/stderr");
  const int marker = open(seriallab::kLabMarker, O_CREAT | O_WRONLY | O_CLOEXEC, 0444);
  if (marker < 0) cannotBuild("write the lab marker");
  close(marker);
}

// Sends back every byte (or, draining, discards it) until the lab ends.
void serve(int master, bool echoing) {
  for (;;) {
    const std::string bytes = seriallab::takeWaitingFrom(master, 1 << 16, 100);
    if (!echoing || bytes.empty()) continue;
    try {
      seriallab::injectInto(master, bytes);
    } catch (const std::exception&) {
      // The port closed mid-echo; the next open starts afresh.
    }
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: serial-lab [--echo PATH]... [--drain PATH]... [--] "
               "COMMAND [ARG]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> echoPaths;
  std::vector<std::string> drainPaths;
  int next = 1;
  for (; next < argc; ++next) {
    const std::string arg = argv[next];
    if ((arg == "--echo" || arg == "--drain") && next + 1 < argc) {
      (arg == "--echo" ? echoPaths : drainPaths).push_back(argv[++next]);
    } else if (arg == "--") {
      ++next;
      break;
    } else if (arg.rfind("--", 0) == 0) {
      return usage();
    } else {
      break;
    }
  }
  if (next >= argc) return usage();

  enterPrivateNamespace();
  buildDev();

  std::vector<seriallab::FarEnd> farEnds;
  try {
    for (const auto* paths : {&echoPaths, &drainPaths}) {
      for (const std::string& path : *paths) {
        farEnds.push_back(seriallab::FarEnd::attach(path));
        std::thread(serve, farEnds.back().fd(), paths == &echoPaths).detach();
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "serial-lab: %s\n", error.what());
    return 1;
  }

  const pid_t child = fork();
  if (child < 0) cannotBuild("fork");
  if (child == 0) {
    execvp(argv[next], argv + next);
    std::fprintf(stderr, "serial-lab: cannot run %s: %s\n", argv[next], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The far ends' threads end with the process; nothing here outlives the lab.
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
