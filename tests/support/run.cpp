// Child processes for end-to-end tests.
#include "support/run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "support/temp_dir.h"
#include "support/zvb_builder.h"

RunningProgram start_program(const std::string& program, const std::vector<std::string>& args,
                             const RunOptions& options) {
  RunningProgram running;
  running.scratch = std::make_shared<TempDir>();
  running.out_captured = options.stdout_path.empty();
  running.out_path = running.out_captured ? running.scratch->file("stdout") : options.stdout_path;
  running.err_path = running.scratch->file("stderr");
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
    const int out = open(running.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(running.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
  running.pid = child;
  return running;
}

bool has_ended(RunningProgram* running) {
  if (!running->ended && waitpid(running->pid, &running->wait_status, WNOHANG) == running->pid)
    running->ended = true;
  return running->ended;
}

RunResult finish_program(RunningProgram* running) {
  if (!running->ended) {
    if (waitpid(running->pid, &running->wait_status, 0) != running->pid)
      throw std::runtime_error("waitpid failed");
    running->ended = true;
  }
  RunResult result;
  if (WIFEXITED(running->wait_status))
    result.status = WEXITSTATUS(running->wait_status);
  else if (WIFSIGNALED(running->wait_status))
    result.signal = WTERMSIG(running->wait_status);
  if (running->out_captured)
    result.out = read_file_bytes(running->out_path);
  result.err = read_file_bytes(running->err_path);
  return result;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  RunningProgram running = start_program(program, args, options);
  return finish_program(&running);
}
