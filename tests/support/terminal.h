// A pseudo-terminal that a test gives a program as a standard stream.
#ifndef ZVBTRACK_TESTS_SUPPORT_TERMINAL_H_
#define ZVBTRACK_TESTS_SUPPORT_TERMINAL_H_

#include <string>

// A pseudo-terminal in raw mode, so that what is typed waits unechoed until it is read.
class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  bool ready() const { return ready_; }
  const std::string& path() const { return path_; }
  // Typed at the keyboard: waits on the terminal's input.
  bool type(const std::string& typed);
  // What still waits to be read from the terminal, and what was written to it.
  std::string unread() { return drain(device_); }
  std::string shown() { return drain(controller_); }

 private:
  static std::string drain(int descriptor);
  int controller_ = -1;
  int device_ = -1;
  std::string path_;
  bool ready_ = false;
};

#endif  // ZVBTRACK_TESTS_SUPPORT_TERMINAL_H_
