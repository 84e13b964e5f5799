// Child processes for end-to-end tests.
#include "support/run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "support/temp_dir.h"
#include "support/zvb_builder.h"

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  TempDir scratch;
  const std::string out_path =
      options.stdout_path.empty() ? scratch.file("stdout") : options.stdout_path;
  const std::string err_path = scratch.file("stderr");
  const std::string in_path = options.stdin_path.empty() ? "/dev/null" : options.stdin_path;

  std::vector<std::string> words;
  words.push_back(options.argv0.empty() ? program : options.argv0);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0)
    throw std::runtime_error("fork failed");
  if (child == 0) {
    const int in = open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0)
      _exit(125);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (options.in_child)
      options.in_child();
    execv(program.c_str(), argv.data());
    _exit(126);
  }
  int wait_status = 0;
  if (waitpid(child, &wait_status, 0) != child)
    throw std::runtime_error("waitpid failed");
  RunResult result;
  if (WIFEXITED(wait_status))
    result.status = WEXITSTATUS(wait_status);
  else if (WIFSIGNALED(wait_status))
    result.signal = WTERMSIG(wait_status);
  if (options.stdout_path.empty())
    result.out = read_file_bytes(out_path);
  result.err = read_file_bytes(err_path);
  return result;
}
