// The option table, the command-line parser and the help texts.
#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/report.h"

int opt_short_help = 0;
int opt_long_help = 0;
int opt_verbose = 0;
const char* opt_top_group = nullptr;
const char* opt_output = nullptr;
const char* opt_append = nullptr;
const char* opt_ids = nullptr;
const char* opt_window = nullptr;
int opt_dry_run = 0;

int option_errors = 0;

const char banner[] = "zvbtrack - Aug 25 2019";

const OptionEntry option_table[OPTION_ROWS] = {
  { ' ', nullptr, nullptr, "infile loop_var arrays ...", "ZVB-Trajectory / transpose" },
  { 'h', &opt_short_help, set_flag, nullptr, "Give short help and quit" },
  { 'H', &opt_long_help, set_flag, nullptr, "Give long help and quit" },
  { 'v', &opt_verbose, set_flag, nullptr, "Verbose mode" },
  { 'n', &opt_dry_run, set_flag, nullptr, "Count only: tell the output's size, write nothing" },
  { 's', &opt_top_group, set_string, "array", "Top level group" },
  { 'o', &opt_output, set_string, "outfile", "Write output to outfile" },
  { 'a', &opt_append, set_string, "outfile", "Append output to outfile" },
  { 'i', &opt_ids, set_string, "ids", "Keep only these identifiers: a,b..c,... or @file" },
  { 'w', &opt_window, set_string, "lo..hi", "Keep only loop values from lo to hi" },
  { '\0', nullptr, warn_unknown_option, nullptr, "Warning: unknown option -" },
};

void set_flag(const char*, void* target) {
  *static_cast<int*>(target) = 1;
}

void set_string(const char* argument, void* target) {
  *static_cast<const char**>(target) = argument;
}

int write_stderr(const char* text) {
  return std::fputs(text, stderr);
}

void warn_unknown_option(const char* message, void* rest_of_word) {
  std::string line = message;
  line += static_cast<const char*>(rest_of_word);
  line += '\n';
  write_stderr(line.c_str());
}

// The row for `letter` among the rows after the first, or the last row when none has it.
static const OptionEntry* find_option(const OptionEntry* table, char letter) {
  const OptionEntry* row = table + 1;
  while (row->letter != '\0' && row->letter != letter)
    row++;
  return row;
}

int parse_options(int* argc, char*** argv, const OptionEntry* table) {
  option_errors = 0;
  char** words = *argv;
  const char* path = words[0];
  const char* last_slash = std::strrchr(path, '/');
  program_name = last_slash != nullptr ? last_slash + 1 : path;

  int words_left = *argc - 1;
  words++;
  while (words_left > 0) {
    const char* word = *words;
    if (word[0] != '-' || word[1] == '\0')
      break;  // the first operand; "-" alone names standard input
    words++;
    words_left--;
    for (const char* letter = word + 1; *letter != '\0'; letter++) {
      const OptionEntry* row = find_option(table, *letter);
      if (row->letter == '\0') {
        if (row->handler != nullptr)
          row->handler(row->description, const_cast<char*>(letter));
        option_errors++;
        continue;
      }
      if (row->arg_name == nullptr) {
        row->handler("", row->target);
        continue;
      }
      const char* argument;
      if (letter[1] != '\0') {
        argument = letter + 1;
        if (*argument == ' ')
          argument++;  // "-o file" given as one word
      } else {
        if (words_left == 0) {
          *argv = words;
          *argc = 0;
          return 1;
        }
        argument = *words;
        words++;
        words_left--;
      }
      row->handler(argument, row->target);
      break;  // the argument used up the rest of the word
    }
  }
  *argv = words;
  *argc = words_left;
  return option_errors;
}

void print_banner(const char* text, TextWriter writer) {
  writer(text);
  writer("\n");
}

static void write_flag_group(std::string& group, TextWriter writer) {
  if (group.empty())
    return;
  writer(("[-" + group + "] ").c_str());
  group.clear();
}

static void print_short_help(const OptionEntry* table, TextWriter writer) {
  writer("usage: ");
  writer(program_name);
  writer(" ");
  std::string flags;
  for (const OptionEntry* row = table + 1; row->letter != '\0'; row++) {
    if (row->arg_name == nullptr) {
      flags += row->letter;
      continue;
    }
    write_flag_group(flags, writer);
    writer((std::string("[-") + row->letter + " " + row->arg_name + "] ").c_str());
  }
  write_flag_group(flags, writer);
  writer((std::string(table[0].arg_name) + "\n").c_str());
}

static void print_long_help(const OptionEntry* table, TextWriter writer) {
  const OptionEntry& header = table[0];
  if (header.description != nullptr)
    writer((std::string(program_name) + " - " + header.description + "\n").c_str());
  writer("usage: ");
  writer(program_name);
  writer(" ");
  writer("[options] ");
  writer((std::string(header.arg_name) + "\n").c_str());
  writer("\noptions:\n");

  std::size_t width = 10;
  for (const OptionEntry* row = table;; row++) {
    if (row->arg_name != nullptr && std::strlen(row->arg_name) > width)
      width = std::strlen(row->arg_name);
    if (row->letter == '\0')
      break;
  }
  for (const OptionEntry* row = table + 1; row->letter != '\0'; row++) {
    std::string line = std::string(" -") + row->letter;
    if (row->arg_name != nullptr)
      line += std::string(" ") + row->arg_name;
    line.resize(width + 3, ' ');  // descriptions start in one column
    line += row->description;
    line += '\n';
    writer(line.c_str());
  }
}

void print_help(const OptionEntry* table, int form, TextWriter writer) {
  if (form == 0)
    print_short_help(table, writer);
  else
    print_long_help(table, writer);
  std::exit(0);
}

void take_command_line(int* argc, char*** argv) {
  if (parse_options(argc, argv, option_table) != 0)
    write_stderr("\n");  // an empty line after the warnings
  if (*argc < 3)
    opt_short_help++;
  if (opt_long_help != 0)
    print_banner(banner, write_stderr);
  if (opt_long_help != 0 || opt_short_help != 0)
    print_help(option_table, opt_long_help, write_stderr);
}
