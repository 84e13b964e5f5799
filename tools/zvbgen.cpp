// zvbgen: writes a simulation-like ZVB file, one group per time step, for the demo, the tests
// and the benchmarks. Objects move, some leave at every step and as many new ones arrive with
// new, sparse identifiers, and each step lists its objects in a new order.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/memory.h"
#include "base/platform.h"
#include "base/report.h"
#include "data/format.h"
#include "data/writer.h"
#include "version.h"

namespace {

struct Settings {
  long steps = 200;  // in each run group when there are any
  long objects = 30;
  double churn = 0.05;  // share of the objects replaced at every step
  bool use_float = false;
  bool nested = false;  // each step's group inside an S32-valued group of its own
  long runs = 0;        // S32-valued run groups holding the steps; 0: the steps stand alone
  std::uint64_t seed = 1;
  const char* output = nullptr;
};

struct Preset {
  const char* name;
  long steps;
  long objects;
  double churn;
  bool use_float;
  bool nested;
  long runs;
};

const Preset presets[] = {
  { "demo", 200, 30, 0.05, false, false, 0 },
  { "small", 200, 2000, 0.01, false, false, 0 },
  { "medium", 1000, 10000, 0.01, true, false, 0 },
  { "wide", 50, 1000000, 0.01, true, false, 0 },
  { "long", 20000, 100, 0.01, true, false, 0 },
  { "nested", 1000, 2000, 0.01, true, true, 0 },
  // Restarted or repeated simulations: one enclosing group shared by many steps.
  { "runs", 100, 10000, 0.01, true, false, 10 },
};

// xorshift64*: fast and plenty for made-up positions.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
  double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr && f != stdout)
      std::fclose(f);
  }
};

class Output {
 public:
  Output(std::FILE* stream, const char* name) : stream_(stream), name_(name) {}
  void bytes(const void* data, std::size_t size) {
    if (size != 0 && std::fwrite(data, size, 1, stream_) != 1)
      fail();
  }
  void element(const char* name, std::uint32_t type, const void* data, std::size_t size) {
    ElementHeader header{};
    set_name(header.name, name);
    header.type = type;
    header.size = static_cast<std::uint32_t>(size);
    unsigned char encoded[sizeof header];
    encode_element_header(header, encoded);
    bytes(encoded, sizeof encoded);
    bytes(data, size);
  }
  void end() { element("", END_MARKER_TYPE, nullptr, 0); }
  void finish() {
    if (std::fflush(stream_) != 0)
      fail();
  }
  [[noreturn]] void fail() {
    std::fprintf(stderr, "zvbgen: \"%s\": %s\n", name_, std::strerror(errno));
    std::exit(1);
  }

 private:
  std::FILE* stream_;
  const char* name_;
};

[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...) {
  std::fflush(stdout);
  std::fprintf(stderr, "zvbgen: Error: ");
  va_list values;
  va_start(values, format);
  std::vfprintf(stderr, format, values);
  va_end(values);
  std::fputs(" (\"zvbgen -h\" lists the options)\n", stderr);
  std::exit(1);
}

long whole_number(const char* word, const char* text, long least) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno == ERANGE || number < least)
    fail("Invalid %s \"%s\": give a whole number of at least %ld", word, text, least);
  return number;
}

void set_preset(Settings& settings, const char* name) {
  for (const Preset& preset : presets) {
    if (std::strcmp(preset.name, name) != 0)
      continue;
    settings.steps = preset.steps;
    settings.objects = preset.objects;
    settings.churn = preset.churn;
    settings.use_float = preset.use_float;
    settings.nested = preset.nested;
    settings.runs = preset.runs;
    return;
  }
  fail("Unknown preset \"%s\"", name);
}

void print_help(Settings&, const char*);
void print_version(Settings&, const char*);

// One row per option word: its argument's name (null for none), what it sets, its help line.
struct OptionRow {
  const char* word;
  const char* arg_name;
  void (*apply)(Settings& settings, const char* argument);
  const char* description;
};

const OptionRow option_rows[] = {
  { "-p", "preset", set_preset, "Start from a preset (listed below); later options change it" },
  { "-T", "steps", [](Settings& s, const char* a) { s.steps = whole_number("-T", a, 1); },
    "Steps: groups named time, valued 0, 0.1, 0.2, ... (per run with -r; default 200)" },
  { "-N", "objects", [](Settings& s, const char* a) { s.objects = whole_number("-N", a, 1); },
    "Objects at every step: the length of ID, x, y and z (default 30)" },
  { "-c", "churn",
    [](Settings& s, const char* a) {
      char* end = nullptr;
      s.churn = std::strtod(a, &end);
      if (*a == '\0' || *end != '\0' || !(s.churn >= 0 && s.churn <= 1))
        fail("Invalid -c \"%s\": give a share from 0 to 1", a);
    },
    "Share of the objects replaced by new ones at every step, 0 to 1 (default 0.05)" },
  { "-f", nullptr, [](Settings& s, const char*) { s.use_float = true; },
    "Store x, y and z as floats (default: doubles)" },
  { "-n", nullptr, [](Settings& s, const char*) { s.nested = true; },
    "Put each step's group inside an S32-valued group named step (the step's number)" },
  { "-r", "runs", [](Settings& s, const char* a) { s.runs = whole_number("-r", a, 0); },
    "Put the steps in that many S32-valued groups named run, -T steps in each; time starts\n"
    "               again in each run, objects go on (default 0: no run groups)" },
  { "-S", "seed",
    [](Settings& s, const char* a) {
      s.seed = static_cast<std::uint64_t>(whole_number("-S", a, 0));
    },
    "Seed of the made-up motion: the same seed, the same file (default 1)" },
  { "-o", "outfile", [](Settings& s, const char* a) { s.output = a; },
    "Write to outfile (default: standard output, which must not be a terminal)" },
  { "-h", nullptr, print_help, "Print this help on standard output and quit (also --help)" },
  { "--help", nullptr, print_help, nullptr },
  { "--version", nullptr, print_version, "Print the version and quit" },
};

void print_help(Settings&, const char*) {
  std::string text =
      "zvbgen - write a simulation-like ZVB file: one group per time step, each holding the\n"
      "arrays ID, x, y and z over the objects; objects move, some are replaced by new ones with\n"
      "new identifiers at every step, and each step lists its objects in a new order\n"
      "usage: zvbgen [-p preset] [-T steps] [-N objects] [-c churn] [-f] [-n] [-r runs]\n"
      "              [-S seed] [-o outfile]\n\noptions:\n";
  for (const OptionRow& row : option_rows) {
    if (row.description == nullptr)
      continue;
    std::string line = std::string(" ") + row.word;
    if (row.arg_name != nullptr)
      line += std::string(" ") + row.arg_name;
    line.resize(15, ' ');
    text += line + row.description + "\n";
  }
  text += "\npresets:\n";
  for (const Preset& preset : presets) {
    char line[160];
    std::snprintf(line, sizeof line, " %-8s %ld steps%s of %ld objects, churn %g, %s%s\n",
                  preset.name, preset.steps, preset.runs != 0 ? " per run" : "", preset.objects,
                  preset.churn, preset.use_float ? "floats" : "doubles",
                  preset.nested ? ", each step in a step group" : "");
    text += line;
    if (preset.runs != 0) {
      std::snprintf(line, sizeof line, "          in %ld run groups\n", preset.runs);
      text += line;
    }
  }
  if (std::fputs(text.c_str(), stdout) == EOF || std::fflush(stdout) != 0)
    std::exit(1);
  std::exit(0);
}

void print_version(Settings&, const char*) {
  if (std::printf("zvbgen %s\n", TOOLS_VERSION) < 0 || std::fflush(stdout) != 0)
    std::exit(1);
  std::exit(0);
}

Settings parse(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; i++) {
    const OptionRow* found = nullptr;
    for (const OptionRow& row : option_rows) {
      if (std::strcmp(row.word, argv[i]) == 0)
        found = &row;
    }
    if (found == nullptr)
      fail("Unknown option \"%s\"", argv[i]);
    const char* argument = "";
    if (found->arg_name != nullptr) {
      if (i + 1 >= argc)
        fail("Option %s needs an argument", found->word);
      argument = argv[++i];
    }
    found->apply(settings, argument);
  }
  return settings;
}

struct Body {
  std::int32_t id;
  double x, y, z;
};

// Memory for each object: its body, and its place in the ID array and in a coordinate array
// of doubles and of floats.
constexpr std::uint64_t BYTES_PER_OBJECT =
    sizeof(Body) + sizeof(std::int32_t) + sizeof(double) + sizeof(float);

// Refuses, before anything is written, sizes that no file can hold or this process cannot make:
// arrays of 4 GiB or more (an element's size has 32 bits), steps beyond the counting of the
// S32 step and run groups, identifiers that could pass the largest S32 (each object takes up
// to 3 more than the last, each replacement up to 5), and objects whose arrays would take more
// memory than the process may use.
void check_sizes(const Settings& settings) {
  const std::uint64_t width = settings.use_float ? sizeof(float) : sizeof(double);
  const long most_objects = static_cast<long>(UINT32_MAX / std::max<std::uint64_t>(width, 4));
  if (settings.objects > most_objects)
    fail("Invalid -N %ld: at most %ld objects, so that each array stays below 4 GiB",
         settings.objects, most_objects);
  const long runs = settings.runs != 0 ? settings.runs : 1;
  long total_steps = 0;
  const long most_steps = settings.nested || settings.runs != 0 ? INT32_MAX : LONG_MAX;
  if (__builtin_mul_overflow(runs, settings.steps, &total_steps) || total_steps > most_steps ||
      runs > INT32_MAX)
    fail("Invalid -T %ld with -r %ld: at most %ld steps in all, and %d runs", settings.steps,
         settings.runs, most_steps, INT32_MAX);
  const double replaced = std::floor(settings.churn * static_cast<double>(settings.objects) + 0.5);
  const double last_id = 1 + 3.0 * static_cast<double>(settings.objects) +
                         5.0 * replaced * static_cast<double>(total_steps - 1);
  if (last_id > INT32_MAX)
    fail("Invalid sizes: %ld objects over %ld steps with churn %g could take identifiers past %d",
         settings.objects, total_steps, settings.churn, INT32_MAX);
  const std::uint64_t needed = static_cast<std::uint64_t>(settings.objects) * BYTES_PER_OBJECT;
  const std::uint64_t limit = system_memory_limit();
  if (limit != 0 && needed > limit)
    fail("Not enough memory for %ld objects: they take %" PRIu64 " MiB, and %" PRIu64
         " MiB are to be had",
         settings.objects, needed >> 20, limit >> 20);
}

[[noreturn]] void out_of_memory() {
  std::fprintf(stderr, "zvbgen: Error: Not enough memory\n");
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = parse(argc, argv);
  if (settings.output == nullptr && is_terminal(1)) {
    program_name = "zvbgen";
    report_error(error_table, ERR_TERMINAL);
  }
  // Everything that can be refused is, and the memory is taken, before the output is opened:
  // a refused run leaves no file.
  check_sizes(settings);
  std::set_new_handler(out_of_memory);
  std::vector<Body> bodies(static_cast<std::size_t>(settings.objects));
  const std::size_t count = bodies.size();
  std::vector<std::int32_t> ids(count);
  std::vector<double> coordinates(count);
  std::vector<float> narrow(count);

  std::unique_ptr<std::FILE, FileCloser> file(
      settings.output != nullptr ? std::fopen(settings.output, "wb") : stdout);
  const char* name = settings.output != nullptr ? settings.output : "-";
  Output out(file.get(), name);
  if (file == nullptr)
    out.fail();
  std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 20);

  FileHeader header{};
  init_file_header(&header, "ZVBGEN", TOOLS_VERSION_MAJOR, TOOLS_VERSION_MINOR, "", 0, 0);
  unsigned char encoded[sizeof header];
  encode_file_header(header, encoded);
  out.bytes(encoded, sizeof encoded);

  Random random{ settings.seed * 0x9E3779B97F4A7C15ULL + 1 };
  std::int32_t next_id = 1;
  for (Body& body : bodies) {
    body = { next_id, random.uniform(), random.uniform(), random.uniform() };
    next_id += 1 + static_cast<std::int32_t>(random.below(3));
  }
  const std::size_t replaced = static_cast<std::size_t>(settings.churn * count + 0.5);
  const std::uint32_t value_type = settings.use_float ? TYPE_FLOAT : TYPE_DOUBLE;
  const std::size_t width = settings.use_float ? sizeof(float) : sizeof(double);

  // With run groups the objects go on from run to run, and each run's time starts at 0.
  const long runs = settings.runs != 0 ? settings.runs : 1;
  for (long step = 0; step < runs * settings.steps; step++) {
    const long step_in_run = step % settings.steps;
    if (settings.runs != 0 && step_in_run == 0) {
      if (step > 0)
        out.end();
      const std::int32_t run = static_cast<std::int32_t>(step / settings.steps);
      out.element("run", FLAG_GROUP | FLAG_SINGLE | TYPE_S32, &run, sizeof run);
    }
    if (step > 0) {
      for (std::size_t r = 0; r < replaced; r++) {
        Body& body = bodies[random.below(count)];
        body = { next_id, random.uniform(), random.uniform(), random.uniform() };
        next_id += 1 + static_cast<std::int32_t>(random.below(5));
      }
      for (Body& body : bodies) {
        body.x += 0.01 * (random.uniform() - 0.5);
        body.y += 0.01 * (random.uniform() - 0.5);
        body.z += 0.01 * (random.uniform() - 0.5);
      }
    }
    for (std::size_t i = count - 1; i > 0; i--)
      std::swap(bodies[i], bodies[random.below(i + 1)]);

    if (settings.nested) {
      const std::int32_t index = static_cast<std::int32_t>(step);
      out.element("step", FLAG_GROUP | FLAG_SINGLE | TYPE_S32, &index, sizeof index);
    }
    const double time = 0.1 * static_cast<double>(step_in_run);
    out.element("time", FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE, &time, sizeof time);
    for (std::size_t i = 0; i < count; i++)
      ids[i] = bodies[i].id;
    out.element("ID", FLAG_ARRAY | TYPE_S32, ids.data(), count * sizeof(std::int32_t));
    for (double Body::*axis : { &Body::x, &Body::y, &Body::z }) {
      for (std::size_t i = 0; i < count; i++) {
        coordinates[i] = bodies[i].*axis;
        narrow[i] = static_cast<float>(coordinates[i]);
      }
      const char* axis_name = axis == &Body::x ? "x" : axis == &Body::y ? "y" : "z";
      const void* data = settings.use_float ? static_cast<const void*>(narrow.data())
                                            : static_cast<const void*>(coordinates.data());
      out.element(axis_name, FLAG_ARRAY | value_type, data, count * width);
    }
    out.end();
    if (settings.nested)
      out.end();
  }
  if (settings.runs != 0)
    out.end();
  out.finish();
  return 0;
}
