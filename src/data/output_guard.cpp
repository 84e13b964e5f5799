// Undoing an unfinished output: from the failure path, and from handlers of the signals that
// would end the process. Everything a handler touches is written with those signals held back,
// by the main thread while no other thread runs, so a handler always sees a whole state.
#include "data/output_guard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/files.h"

namespace {

// The signals whose default action ends the process and that a run may meet. SIGXFSZ is not
// among them: it is ignored while writing, so that a size limit is reported as an error.
constexpr int ENDING_SIGNALS[] = { SIGHUP,  SIGINT,  SIGTERM, SIGQUIT, SIGPIPE,
                                   SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU };

volatile int cut_descriptor = -1;
volatile std::int64_t cut_length = 0;
std::FILE* volatile counted_stream = nullptr;
volatile std::uint64_t counted_bytes = 0;  // written by one thread at a time
volatile std::int64_t reserved_end = -1;
volatile int temporary_directory = -1;
const char* volatile temporary_name = nullptr;
unsigned char* volatile mapping_start = nullptr;
volatile std::size_t mapping_length = 0;
volatile sig_atomic_t mapping_cut = 0;
bool handlers_installed = false;

sigset_t ending_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : ENDING_SIGNALS)
    sigaddset(&set, signal_number);
  sigaddset(&set, SIGBUS);
  return set;
}

// Holds the ending signals back for the life of the object (in this thread).
class HeldSignals {
 public:
  HeldSignals() {
    const sigset_t set = ending_set();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t previous_;
};

// Stores still under way into the mapping land in anonymous memory instead of the file.
void blank_mapping() {
  unsigned char* start = mapping_start;
  if (start != nullptr)
    (void)mmap(start, mapping_length, PROT_READ | PROT_WRITE,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
}

// The signal's default action, taken as soon as the handler returns (the signal is held back
// while its handler runs).
void end_by(int signal_number) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  raise(signal_number);
}

void on_ending_signal(int signal_number) {
  const int saved_errno = errno;
  undo_output();
  end_by(signal_number);
  errno = saved_errno;
}

// A store into the output mapping beyond the end of a file that someone else cut: the store
// completes in anonymous memory on return, and the writer reports the change. Any other bus
// error ends the process as it would have, after the output is undone.
void on_bus_error(int signal_number, siginfo_t* info, void*) {
  const int saved_errno = errno;
  unsigned char* start = mapping_start;
  const auto* address = static_cast<const unsigned char*>(info->si_addr);
  if (start != nullptr && address >= start && address < start + mapping_length) {
    blank_mapping();
    mapping_cut = 1;
  } else {
    undo_output();
    end_by(signal_number);
  }
  errno = saved_errno;
}

// Signals ignored when the program started (by nohup, or for a background job) stay ignored.
// A bus error from a fault comes whether ignored or not, so it is always caught.
void install_handlers() {
  if (handlers_installed)
    return;
  handlers_installed = true;
  struct sigaction action = {};
  action.sa_mask = ending_set();
  action.sa_handler = on_ending_signal;
  for (int signal_number : ENDING_SIGNALS) {
    struct sigaction current;
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
      sigaction(signal_number, &action, nullptr);
  }
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

void guard_cut_back(int descriptor, std::int64_t length, std::FILE* stream) {
  HeldSignals held;
  install_handlers();
  cut_length = length;
  counted_stream = stream;
  counted_bytes = 0;
  reserved_end = -1;
  cut_descriptor = descriptor;
}

void count_output_bytes(std::uint64_t size) {
  counted_bytes = counted_bytes + size;
}

std::uint64_t counted_output_bytes() {
  return counted_bytes;
}

void reserve_output_end(std::int64_t end) {
  reserved_end = end;
}

void forget_output_stream() {
  HeldSignals held;
  counted_stream = nullptr;
}

void guard_temporary(const char* path) {
  HeldSignals held;
  install_handlers();
  temporary_directory = AT_FDCWD;
  temporary_name = path;
}

int create_guarded_temporary(int directory, char* name) {
  HeldSignals held;
  install_handlers();
  const int descriptor = create_temporary_at(directory, name);
  if (descriptor >= 0) {
    temporary_directory = directory;
    temporary_name = name;
  }
  return descriptor;
}

void guard_mapping(unsigned char* mapping, std::size_t length) {
  HeldSignals held;
  mapping_length = length;
  mapping_start = mapping;
}

void unguard_mapping() {
  HeldSignals held;
  mapping_start = nullptr;
  mapping_length = 0;
}

bool output_mapping_cut() {
  return mapping_cut != 0;
}

// The length the file has with what this run put in it: the room it reserved, else the bytes
// it wrote, which are those counted less those the stream still holds.
static std::int64_t own_end() {
  const std::int64_t reserved = reserved_end;
  if (reserved >= 0)
    return reserved;
  std::FILE* stream = counted_stream;
  const std::uint64_t held = stream != nullptr ? unwritten_bytes(stream) : 0;
  const std::uint64_t counted = counted_bytes;
  return cut_length + static_cast<std::int64_t>(counted > held ? counted - held : 0);
}

void undo_output() {
  blank_mapping();
  const int descriptor = cut_descriptor;
  struct stat status;
  // Only ever shorter: a file that someone else cut below its old length is not filled up; and
  // never below what another writer added: a file longer than this run made it is left whole.
  if (descriptor >= 0 && fstat(descriptor, &status) == 0 && status.st_size > cut_length &&
      status.st_size <= own_end())
    (void)ftruncate(descriptor, static_cast<off_t>(cut_length));
  const char* name = temporary_name;
  if (name != nullptr)
    unlinkat(temporary_directory, name, 0);
}

void release_output_guard() {
  HeldSignals held;
  cut_descriptor = -1;
  counted_stream = nullptr;
  reserved_end = -1;
  temporary_name = nullptr;
  temporary_directory = -1;
  mapping_start = nullptr;
  mapping_length = 0;
}
