// A temporary directory for one test, removed with its contents afterwards.
#ifndef ZVBTRACK_TESTS_SUPPORT_TEMP_DIR_H_
#define ZVBTRACK_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

#endif  // ZVBTRACK_TESTS_SUPPORT_TEMP_DIR_H_
