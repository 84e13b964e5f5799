// Programs held at a write to standard error, and the file events they cause meanwhile.
#include "support/held_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

constexpr unsigned RUN_SECONDS = 60;  // a held program still there after this long has hung

HeldRun::HeldRun(const std::string& program, const std::vector<std::string>& args,
                 const std::string& dir, std::size_t passing, const std::vector<Watch>& watches) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  err_read_ = ends[0];
  // One page, all but `passing` bytes of it taken: a later write waits for a reader, since a
  // small write goes whole into the room left in the last page or not at all.
  const long page = sysconf(_SC_PAGESIZE);
  const int capacity = fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(page));
  if (capacity < 0 || passing >= static_cast<std::size_t>(page))
    throw std::runtime_error("pipe size cannot be set");
  filler_ = static_cast<std::size_t>(capacity) - passing;
  const std::string filler(filler_, '.');
  if (write(ends[1], filler.data(), filler.size()) != static_cast<ssize_t>(filler.size()))
    throw std::runtime_error("pipe cannot be filled");

  events_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (events_ < 0)
    throw std::runtime_error("inotify is not available");
  for (const Watch& watch : watches) {
    const int id = inotify_add_watch(events_, watch.path.c_str(), watch.mask);
    if (id < 0)
      throw std::runtime_error("cannot watch " + watch.path);
    watch_ids_.push_back(id);
    seen_.push_back(false);
  }

  RunOptions options;
  const int err_write = ends[1];
  options.in_child = [dir, err_write] {
    if (chdir(dir.c_str()) != 0 || dup2(err_write, 2) < 0)
      _exit(124);
    alarm(RUN_SECONDS);
  };
  running_ = start_program(program, args, options);
  close(ends[1]);
  ended_ = static_cast<int>(syscall(SYS_pidfd_open, running_.pid, 0));
  if (ended_ < 0)
    throw std::runtime_error("pidfd_open failed");
}

HeldRun::~HeldRun() {
  if (!running_.ended) {
    kill(running_.pid, SIGKILL);
    finish_program(&running_);
  }
  for (int descriptor : { err_read_, events_, ended_ }) {
    if (descriptor >= 0)
      close(descriptor);
  }
}

bool HeldRun::wait_for(std::size_t index) {
  for (;;) {
    alignas(inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = read(events_, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        for (std::size_t i = 0; i < watch_ids_.size(); i++) {
          if (watch_ids_[i] == event->wd)
            seen_[i] = true;
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
    if (seen_[index])
      return true;
    pollfd waiting[2] = { { events_, POLLIN, 0 }, { ended_, POLLIN, 0 } };
    if (poll(waiting, 2, -1) < 0 && errno != EINTR)
      throw std::runtime_error("poll failed");
    if ((waiting[1].revents & POLLIN) != 0 && (waiting[0].revents & POLLIN) == 0)
      return false;
  }
}

void HeldRun::wait_ended() {
  pollfd ended = { ended_, POLLIN, 0 };
  while (poll(&ended, 1, -1) < 0) {
    if (errno != EINTR)
      throw std::runtime_error("poll failed");
  }
}

RunResult HeldRun::release() {
  std::string err;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(err_read_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    err.append(buffer, static_cast<std::size_t>(got));
  }
  RunResult result = finish_program(&running_);
  result.err = err.size() >= filler_ ? err.substr(filler_) : err;
  return result;
}
