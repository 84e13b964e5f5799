// zvbexport: writes the trajectories of a file that zvbtrack wrote as netCDF or VTK, for the
// field's own tools.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/progress.h"
#include "base/report.h"
#include "cli/options.h"
#include "data/writer.h"
#include "export/netcdf.h"
#include "export/settings.h"
#include "export/trajectories.h"
#include "export/vtk.h"
#include "version.h"

namespace {

int show_help = 0;
int verbose = 0;
const char* format_name = nullptr;
const char* output_name = nullptr;
const char* compression_text = nullptr;
const char* time_units = nullptr;
const char* coordinate_names[3] = { nullptr, nullptr, nullptr };

// A letter that no row has ends the run: an export made with an option misread would mislead.
void reject_option(const char* message, void* rest_of_word) {
  error_exit("%s%c (\"%s -h\" lists the options)\n", message,
             *static_cast<const char*>(rest_of_word), program_name);
}

const OptionEntry export_options[] = {
  { ' ', nullptr, nullptr, "trajectories.zvb",
    "Write the trajectories of a file that zvbtrack wrote as netCDF or VTK" },
  { 'h', &show_help, set_flag, nullptr, "Print this help on standard output and quit" },
  { 'H', &show_help, set_flag, nullptr, "The same as -h" },
  { 'v', &verbose, set_flag, nullptr, "Say what is done; on a terminal, show progress" },
  { 'f', &format_name, set_string, "format", "netcdf or vtk (required)" },
  { 'o', &output_name, set_string, "outfile",
    "Write to outfile (default: the input's name with .nc or .vtp, here)" },
  { 'c', &compression_text, set_string, "level", "netCDF: zlib level 1 to 9 (default 0: none)" },
  { 'x', &coordinate_names[0], set_string, "array", "The x coordinates (default x)" },
  { 'y', &coordinate_names[1], set_string, "array", "The y coordinates (default y)" },
  { 'z', &coordinate_names[2], set_string, "array", "The z coordinates (default z)" },
  { '\0', nullptr, reject_option, nullptr, "Unknown option -" },
};

// What the table cannot say in a line per option.
const char HELP_NOTES[] =
    "\n"
    "--time-units units  netCDF: the loop variable's units (\"seconds since 2000-01-01\")\n"
    "--help (as -h), --version (print the version and quit)\n"
    "\n"
    "Every trajectory group, and every copy of enclosing groups in it (a run, say), is one\n"
    "trajectory. netCDF: the contiguous ragged array layout of CF, dimensions trajectory and\n"
    "obs, the identifier, the copies' values and rowSize per trajectory, the arrays per sample\n"
    "(the last array, the loop variable, with axis T). VTK: PolyData, a polyline per\n"
    "trajectory (a vertex for one of one sample), the arrays as point data, the identifier\n"
    "and the copies' values as cell data. Values keep their stored types.\n";

// A format: its name after -f, its file name extension, and its writer.
struct FormatRow {
  const char* name;
  const char* extension;
  void (*write)(const TrajectoryLayout& layout, const ExportSettings& settings);
  bool takes_netcdf_options;
};

const FormatRow FORMAT_ROWS[] = {
  { "netcdf", ".nc", write_netcdf, true },
  { "vtk", ".vtp", write_vtk, false },
};

int write_stdout(const char* text) {
  return std::fputs(text, stdout);
}

// Help and version end the run well only once standard output took them whole.
void finish_stdout() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    report_error(error_table, ERR_FILE, "-", std::strerror(errno));
}

[[noreturn]] void print_export_help() {
  std::string text = std::string(program_name) + " - " + export_options[0].description + "\n";
  std::string flags;
  for (const OptionEntry* row = export_options + 1; row->letter != '\0'; row++) {
    if (row->arg_name == nullptr)
      flags += row->letter;
  }
  text += "usage: " + std::string(program_name) + " [-" + flags + "]";
  for (const OptionEntry* row = export_options + 1; row->letter != '\0'; row++) {
    if (row->arg_name != nullptr)
      text += std::string(" [-") + row->letter + " " + row->arg_name + "]";
  }
  text += std::string(" [--time-units units] ") + export_options[0].arg_name + "\n\noptions:\n";
  for (const OptionEntry* row = export_options + 1; row->letter != '\0'; row++) {
    std::string line = std::string(" -") + row->letter;
    if (row->arg_name != nullptr)
      line += std::string(" ") + row->arg_name;
    line.resize(13, ' ');  // descriptions start in one column
    text += line + row->description + "\n";
  }
  text += HELP_NOTES;
  write_stdout(text.c_str());
  finish_stdout();
  std::exit(0);
}

[[noreturn]] void print_version() {
  write_stdout((std::string(program_name) + " " + TOOLS_VERSION + "\n").c_str());
  finish_stdout();
  std::exit(0);
}

// The option words without --help, --version and --time-units, which are taken here; any
// other word of two dashes ends the run. The letters are left to parse_options.
std::vector<char*> take_long_options(int argc, char** argv) {
  const char* last_slash = std::strrchr(argv[0], '/');
  program_name = last_slash != nullptr ? last_slash + 1 : argv[0];
  std::vector<char*> words = { argv[0] };
  int i = 1;
  for (; i < argc; i++) {
    char* word = argv[i];
    if (word[0] != '-' || word[1] == '\0')
      break;  // the first operand
    if (std::strcmp(word, "--help") == 0)
      print_export_help();
    if (std::strcmp(word, "--version") == 0)
      print_version();
    static const char units_option[] = "--time-units";
    const std::size_t length = sizeof units_option - 1;
    if (std::strncmp(word, units_option, length) == 0 &&
        (word[length] == '\0' || word[length] == '=')) {
      if (word[length] == '=')
        time_units = word + length + 1;
      else if (i + 1 < argc)
        time_units = argv[++i];
      else
        error_exit("Option --time-units needs an argument\n");
      continue;
    }
    if (word[1] == '-')
      error_exit("Unknown option %s (\"%s -h\" lists the options)\n", word, program_name);
    words.push_back(word);
    // A letter that takes an argument takes the rest of its word, or the next word.
    for (const char* letter = word + 1; *letter != '\0'; letter++) {
      const OptionEntry* row = export_options + 1;
      while (row->letter != '\0' && row->letter != *letter)
        row++;
      if (row->letter == '\0' || row->arg_name == nullptr)
        continue;
      if (letter[1] == '\0' && i + 1 < argc)
        words.push_back(argv[++i]);
      break;
    }
  }
  for (; i < argc; i++)
    words.push_back(argv[i]);
  words.push_back(nullptr);
  return words;
}

const FormatRow& find_format() {
  if (format_name == nullptr)
    error_exit("Give the format: -f netcdf or -f vtk\n");
  for (const FormatRow& row : FORMAT_ROWS) {
    if (std::strcmp(row.name, format_name) == 0)
      return row;
  }
  error_exit("Unknown format \"%s\": -f netcdf or -f vtk\n", format_name);
}

int parse_compression(const FormatRow& format) {
  if (compression_text == nullptr)
    return 0;
  if (!format.takes_netcdf_options)
    error_exit("-c compresses netCDF output; a %s file is written uncompressed\n", format.name);
  const char* text = compression_text;
  if (text[0] < '0' || text[0] > '9' || text[1] != '\0')
    error_exit("Invalid level \"%s\" for -c: give 0 (none) to 9\n", text);
  return text[0] - '0';
}

// The input's name without its directory and extension, with the format's extension.
std::string default_output(const char* input_name, const FormatRow& format) {
  const char* last_slash = std::strrchr(input_name, '/');
  std::string base = last_slash != nullptr ? last_slash + 1 : input_name;
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot != 0)
    base.resize(dot);
  return base + format.extension;
}

// The target is a regular file or none yet, and not the input: the library writes its file by
// name, and the output is renamed over the target only once complete.
void check_target(const char* input_name, const char* target) {
  struct stat output_status;
  if (std::strcmp(target, "-") == 0)
    error_exit("zvbexport writes a file, not standard output: give -o a file name\n");
  if (stat(target, &output_status) != 0)
    return;
  if (!S_ISREG(output_status.st_mode))
    error_exit("\"%s\" is not a regular file: zvbexport writes a new file or replaces one\n",
               target);
  struct stat input_status;
  if (stat(input_name, &input_status) == 0 && input_status.st_dev == output_status.st_dev &&
      input_status.st_ino == output_status.st_ino)
    error_exit("\"%s\" is the input itself: give -o another file\n", target);
}

// A word as a shell reads it back: as it is when plain, else in single quotes.
std::string shell_word(const char* word) {
  static const char plain[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_./=,:+@%";
  if (*word != '\0' && std::strspn(word, plain) == std::strlen(word))
    return word;
  std::string text = "'";
  for (const char* c = word; *c != '\0'; c++)
    text += *c == '\'' ? std::string("'\\''") : std::string(1, *c);
  return text + "'";
}

// The time and the command line, as a netCDF history line records them.
std::string history_line(int argc, char** argv) {
  char time_text[32];
  const std::time_t now = static_cast<std::time_t>(current_time());
  std::tm parts;
  gmtime_r(&now, &parts);
  std::strftime(time_text, sizeof time_text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  std::string line = std::string(time_text) + ":";
  for (int i = 0; i < argc; i++)
    line += " " + shell_word(i == 0 ? program_name : argv[i]);
  return line;
}

[[noreturn]] void out_of_memory() {
  error_exit("Not enough memory\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing opened takes a closed standard stream's place.
  open_standard_descriptors();
  std::set_new_handler(out_of_memory);
  if (argc < 1)
    return 1;
  std::vector<char*> words = take_long_options(argc, argv);
  int word_count = static_cast<int>(words.size()) - 1;
  char** operands = words.data();
  const char* last_word = words[words.size() - 2];
  // Unknown letters end the run in reject_option, so a failed parse is a missing argument.
  if (parse_options(&word_count, &operands, export_options) != 0)
    error_exit("Option -%c needs an argument\n", last_word[std::strlen(last_word) - 1]);
  if (show_help != 0)
    print_export_help();
  if (word_count < 1)
    print_help(export_options, 0, write_stderr);  // the usage line, as zvbtrack gives it
  if (word_count > 1)
    error_exit("One file at a time: \"%s\" is one too many\n", operands[1]);
  const char* input_name = operands[0];
  if (std::strcmp(input_name, "-") == 0)
    error_exit(
        "Standard input is not read: zvbexport reads its input twice, so give the "
        "file's name\n");
  const FormatRow& format = find_format();
  ExportSettings settings;
  settings.compression = parse_compression(format);
  if (time_units != nullptr && !format.takes_netcdf_options)
    error_exit("--time-units names units in netCDF output; a %s file has none\n", format.name);
  settings.time_units = time_units;
  static const char* const default_coordinates[3] = { "x", "y", "z" };
  for (int axis = 0; axis < 3; axis++) {
    settings.coordinates_named[axis] = coordinate_names[axis] != nullptr;
    settings.coordinate_names[axis] =
        coordinate_names[axis] != nullptr ? coordinate_names[axis] : default_coordinates[axis];
  }
  const std::string target =
      output_name != nullptr ? output_name : default_output(input_name, format);
  check_target(input_name, target.c_str());
  settings.input_name = input_name;
  settings.output_name = target.c_str();
  settings.history = history_line(argc, argv);
  if (verbose != 0 && is_terminal(2))
    enable_progress();

  // The target is opened first, so that one that cannot be written is refused before any work;
  // from here on a failure or an ending signal removes the temporary file.
  DataWriter writer;
  open_output(target.c_str(), nullptr, &writer);
  // The temporary file stands in the target's directory, which the writer keeps open: it is
  // found through that directory wherever the directory goes meanwhile.
  const std::string temporary =
      writer.directory >= 0
          ? "/proc/self/fd/" + std::to_string(writer.directory) + "/" + writer.temp_name
          : std::string(writer.temp_name);
  settings.temporary_name = temporary.c_str();
  settings.descriptor = stream_descriptor(writer.stream);
  if (verbose != 0)
    std::fprintf(stderr, "Reading inputfile: \"%s\"\n", input_name);
  const TrajectoryLayout layout = scan_trajectories(input_name);
  if (verbose != 0) {
    std::fprintf(stderr, "%s: %llu trajectories, %llu samples\n", input_name,
                 static_cast<unsigned long long>(layout.trajectory_count),
                 static_cast<unsigned long long>(layout.sample_count));
    std::fprintf(stderr, "%s: Writing \"%s\"\n", input_name, target.c_str());
  }
  format.write(layout, settings);
  finish_file(&writer);
  return 0;
}
