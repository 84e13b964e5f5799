// The pseudo-terminal of the tests.
#include "support/terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

Terminal::Terminal() {
  controller_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (controller_ < 0 || grantpt(controller_) != 0 || unlockpt(controller_) != 0)
    return;
  path_ = ptsname(controller_);
  device_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  struct termios settings;
  if (device_ < 0 || tcgetattr(device_, &settings) != 0)
    return;
  cfmakeraw(&settings);
  ready_ =
      tcsetattr(device_, TCSANOW, &settings) == 0 && fcntl(controller_, F_SETFL, O_NONBLOCK) == 0;
}

Terminal::~Terminal() {
  if (device_ >= 0)
    close(device_);
  if (controller_ >= 0)
    close(controller_);
}

bool Terminal::type(const std::string& typed) {
  return write(controller_, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
}

std::string Terminal::drain(int descriptor) {
  std::string bytes;
  char buffer[4096];
  ssize_t got;
  while ((got = read(descriptor, buffer, sizeof buffer)) > 0)
    bytes.append(buffer, static_cast<std::size_t>(got));
  return bytes;
}
