// The option table, its parser, and the help texts it drives.
#ifndef ZVBTRACK_CLI_OPTIONS_H_
#define ZVBTRACK_CLI_OPTIONS_H_

// Stores into a row's target what its letter means. Called with "" for a flag.
using OptionHandler = void (*)(const char* argument, void* target);

// Writes one text; the result is not examined.
using TextWriter = int (*)(const char* text);

// One row of an option table. The first row (letter ' ') carries the operand text in
// arg_name and the program's one-line description; the last (letter '\0') carries the
// handler and the text of the warning for letters that no row has.
struct OptionEntry {
  char letter;
  void* target;           // the variable the handler writes; null in the first and last rows
  OptionHandler handler;  // null in the first row
  const char* arg_name;   // non-null: the option takes an argument, named so in the help
  const char* description;
};

constexpr int OPTION_ROWS = 11;
extern const OptionEntry option_table[OPTION_ROWS];

// Zero or null at the start; written only by the handlers (and opt_short_help by the run
// when too few operands remain). The texts point into the command-line words.
extern int opt_short_help;
extern int opt_long_help;
extern int opt_verbose;
extern const char* opt_top_group;  // -s: the ID array's name and the trajectory groups' name
extern const char* opt_output;     // -o
extern const char* opt_append;     // -a
extern const char* opt_ids;        // -i: the identifiers to keep
extern const char* opt_window;     // -w: the loop values to keep
extern int opt_dry_run;            // -n: count, and tell what would be written

// Unrecognised letters met by the last parse.
extern int option_errors;

// The fixed banner line: name, " - ", build date.
extern const char banner[];

// Sets program_name from word 0, consumes the option words, and leaves *argc and *argv at
// the operands. Returns the number of unrecognised letters, or 1 (with *argc 0) when the
// last option word ends in a letter that needs an argument and no word follows.
int parse_options(int* argc, char*** argv, const OptionEntry* table);

// Writes the short help (form 0) or the long help (any other form) through `writer` and
// ends the process with status 0. Does not return.
[[noreturn]] void print_help(const OptionEntry* table, int form, TextWriter writer);

// Writes `text` and a line end through `writer`.
void print_banner(const char* text, TextWriter writer);

// The command line of zvbtrack and its MPI twin: parse_options over option_table (an empty
// line after its warnings), then the help asked for, or the short help when fewer than three
// operands remain, which ends the process. Leaves *argc and *argv at the operands.
void take_command_line(int* argc, char*** argv);

// Writes `text` unchanged to standard error; returns the stream write's result.
int write_stderr(const char* text);

// Handlers, reached only through the table.
void set_flag(const char* argument, void* target);    // *(int*)target = 1
void set_string(const char* argument, void* target);  // *(const char**)target = argument
// The last row's handler: `message` is the row's description, `rest_of_word` the text of
// the word from the unrecognised letter on. Writes message, rest and a line end.
void warn_unknown_option(const char* message, void* rest_of_word);

#endif  // ZVBTRACK_CLI_OPTIONS_H_
