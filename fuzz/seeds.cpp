// zvbseeds: writes the fuzzers' seed corpus, valid files covering every feature of the format
// and of a run, so that fuzzing starts from inputs that reach deep.
//
// usage: zvbseeds DIR. DIR/run/ gets plain files for runs of the whole program; DIR/tree/ gets
// each file behind a control byte of the tree target, once for every way of reading it.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/zvb_builder.h"

namespace {

struct Seed {
  std::string name;
  Bytes bytes;
};

// The control bytes of the tree target: read_file's mode in bits 0-2, a pipe in bit 3.
struct Reading {
  const char* suffix;
  unsigned char control;
};
const Reading readings[] = {
  { "probed", 1 },       // READ_REPORT: a short regular file is read whole
  { "on-file", 1 | 4 },  // READ_REPORT | READ_NO_PROBE: host-order arrays stay on file
  { "pipe", 1 | 8 },     // read whole through a pipe, as standard input is
};

std::vector<double> ramp(std::size_t count, double start) {
  std::vector<double> values(count);
  for (std::size_t i = 0; i < count; i++)
    values[i] = start + static_cast<double>(i);
  return values;
}

// Two steps of two objects whose order changes: the file the program is made for.
ZvbBuilder& steps(ZvbBuilder& b) {
  b.group_f64("time", 0).array_f64("x", { 1, 2 }).array_f64("y", { 3, 4 });
  b.array_f64("ID", { 7, 8 }).end();
  b.group_f64("time", 1).array_f64("x", { 5, 6 }).array_f64("y", { 7, 8 });
  return b.array_f64("ID", { 8, 7 }).end();
}

// Every value type as arrays, singles and group values, with text, undefined, null and an
// unassigned type, and an element that is neither single nor array.
Bytes every_type(bool reversed) {
  ZvbBuilder b(reversed);
  b.file_header();
  b.group_s32("time", 0);
  b.element("x", FLAG_ARRAY | TYPE_S32, b.s32({ -1, 2, 3 }));
  b.element("y", FLAG_ARRAY | TYPE_U32, b.u32({ 0xFFFFFFFFu, 1, 2 }));
  b.element("ID", FLAG_ARRAY | TYPE_U8, { 1, 2, 3 }).end();
  b.group_f32("time", 1.5f);
  b.element("x", FLAG_ARRAY | TYPE_S8, { 0xFF, 1, 2 });
  b.element("y", FLAG_ARRAY | TYPE_U16, b.u16({ 0xFFFF, 1, 2 }));
  b.element("ID", FLAG_ARRAY | TYPE_S16, b.u16({ 0xFFFF, 2, 3 })).end();
  b.group("step").single_f64("time", 2).array_f32("x", { 1.5f, 2.5f, 3.5f });
  b.array_f64("y", { 1, 2, 3 }).element("ID", FLAG_ARRAY | TYPE_U16, b.u16({ 1, 2, 3 })).end();
  b.single_s32("count", 3).text("label", "steps").element("none", TYPE_NULL, {});
  b.element("undefined", FLAG_SINGLE | TYPE_UNDEF, { 1, 2, 3, 4 });
  b.element("unassigned", FLAG_ARRAY | 0x70, { 1, 2, 3, 4, 5, 6, 7, 8 });
  b.element("plain", TYPE_DOUBLE, b.f64({ 1, 2 }));
  b.element("s8", FLAG_SINGLE | TYPE_S8, { 0x80 }).element("u8", FLAG_SINGLE | TYPE_U8, { 0x80 });
  b.element("s16", FLAG_SINGLE | TYPE_S16, b.u16({ 0x8000 }));
  b.element("u32", FLAG_SINGLE | TYPE_U32, b.u32({ 0x80000000u }));
  b.element("f32", FLAG_SINGLE | TYPE_FLOAT, b.f32({ -0.5f }));
  return b.bytes();
}

std::vector<Seed> seeds() {
  std::vector<Seed> all;
  auto add = [&all](const char* name, const Bytes& bytes) { all.push_back({ name, bytes }); };

  for (bool reversed : { false, true }) {
    ZvbBuilder b(reversed);
    b.file_header();
    add(reversed ? "steps-reversed" : "steps", steps(b).bytes());
    add(reversed ? "types-reversed" : "types", every_type(reversed));
  }
  {
    ZvbBuilder b;  // the loop variable as a single inside value-less groups
    b.file_header();
    for (int step = 0; step < 3; step++) {
      b.group("step").single_s32("time", step).array_f64("x", ramp(3, step));
      b.array_f64("y", ramp(3, 10)).array_f64("ID", { 3, 1, 2 }).end();
    }
    add("loop-single", b.bytes());
  }
  {
    ZvbBuilder b;  // enclosing groups: copied when S32-valued, passed over when float-valued
    b.file_header();
    for (int run = 1; run <= 2; run++) {
      b.group_s32("run", run);
      b.group_f32("phase", 0.5f);
      steps(b);
      b.end().end();
    }
    add("enclosing", b.bytes());
  }
  {
    ZvbBuilder b;  // the loop variable in an enclosing group, the arrays in groups below it
    b.file_header();
    for (int t = 0; t < 2; t++) {
      b.group_f64("time", t);
      for (int part = 0; part < 2; part++) {
        b.group_s32("part", part).array_f64("x", ramp(2, t)).array_f64("y", ramp(2, part));
        b.array_f64("ID", { 1.0 + part, 3.0 + part }).end();
      }
      b.end();
    }
    add("loop-enclosing", b.bytes());
  }
  {
    ZvbBuilder b;  // one ID array beside the groups serves all of them
    b.file_header().array_s32("ID", { 5, 6, 7 });
    for (int t = 0; t < 3; t++)
      b.group_f64("time", t).array_f64("x", ramp(3, t)).array_f64("y", ramp(3, 0)).end();
    add("shared-id", b.bytes());
  }
  {
    ZvbBuilder b;  // no ID array: the sample index is the ID
    b.file_header();
    for (int t = 0; t < 2; t++)
      b.group_f64("time", t).array_f64("x", ramp(2, t)).array_f64("y", ramp(2, 0)).end();
    add("index-ids", b.bytes());
  }
  {
    ZvbBuilder b;  // IDs that are not ordinary numbers
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    b.file_header();
    b.group_f64("time", 0).array_f64("x", ramp(5, 0)).array_f64("y", ramp(5, 0));
    b.array_f64("ID", { nan, 0.0, -0.0, inf, -nan }).end();
    b.group_f64("time", 1).array_f64("x", ramp(3, 0)).array_f64("y", ramp(3, 0));
    b.array_f64("ID", { -0.0, nan, -inf }).end();
    add("nan-ids", b.bytes());
  }
  {
    ZvbBuilder b;  // empty arrays, and empty ID arrays of doubles and of integers
    b.file_header();
    b.group_f64("time", 0).array_f64("x", {}).array_f64("y", {}).array_f64("ID", {}).end();
    b.group_f64("time", 1).array_f64("x", { 1 }).array_f64("y", { 2 }).array_f64("ID", {}).end();
    b.group_f64("time", 2).array_f64("x", { 1 }).array_f64("y", { 2 }).array_s32("ID", {}).end();
    b.group_f64("time", 3).array_f64("x", { 1 }).array_f64("y", { 2 }).array_u8("ID", {}).end();
    add("empty-arrays", b.bytes());
  }
  {
    ZvbBuilder b;  // a file cut right after a group's last child: no end-of-group marker
    b.file_header();
    steps(b);
    b.group_f64("time", 2).array_f64("x", { 1 }).array_f64("y", { 2 }).array_f64("ID", { 7 });
    add("no-marker", b.bytes());
  }
  {
    ZvbBuilder b;  // a trajectory file with a second run's elements appended, no second header
    b.file_header();
    for (int pass = 0; pass < 2; pass++) {
      b.group_f64("ID", 7).array_f64("x", { 1, 6 }).array_f64("y", { 3, 8 });
      b.array_f64("time", { 0, 1 }).end();
    }
    add("appended", b.bytes());
  }
  {
    ZvbBuilder b;  // an end-of-group marker at the top ends the tree; what follows is not read
    b.file_header();
    steps(b).end();
    b.group_f64("time", 9).array_f64("x", { 1 }).end();
    add("top-end", b.bytes());
  }
  {
    ZvbBuilder b;  // a group that closes the level around it once its children are read
    b.file_header().group("outer");
    b.element("time", FLAG_GROUP | FLAG_END_GROUP | FLAG_SINGLE | TYPE_DOUBLE, b.f64({ 4 }));
    b.array_f64("x", { 1 }).array_f64("y", { 2 }).array_f64("ID", { 3 }).end();
    b.group_f64("time", 5).array_f64("x", { 1 }).array_f64("y", { 2 }).end();
    add("group-end", b.bytes());
  }
  {
    ZvbBuilder b;  // arrays around the size that is passed over by reading or by a move
    b.file_header();
    b.group_f64("time", 0).array_f64("x", ramp(512, 0)).array_f64("y", ramp(512, 1));
    b.array_f64("ID", ramp(512, 100)).end();
    b.group_f64("time", 1).array_f64("x", ramp(513, 0)).array_f64("y", ramp(513, 1));
    b.array_f64("ID", ramp(513, 100)).array_f64("unused", ramp(600, 0)).end();
    add("large-arrays", b.bytes());
  }
  {
    ZvbBuilder b;  // deep nesting with the arrays at the bottom
    b.file_header();
    for (int depth = 0; depth < 40; depth++)
      b.group_s32("level", depth);
    steps(b);
    for (int depth = 0; depth < 40; depth++)
      b.end();
    add("deep", b.bytes());
  }
  {
    ZvbBuilder b;  // sizes that do not fit their type, and a name of 16 bytes without NUL
    b.file_header(1, 7);
    b.group_f64("time", 0).element("x", FLAG_ARRAY | TYPE_S32, { 1, 0, 0, 0, 2, 0, 0, 0, 9, 9 });
    b.element("y", FLAG_ARRAY | TYPE_DOUBLE, { 1, 2, 3 });
    b.element("ID", FLAG_SINGLE | TYPE_DOUBLE, { 1, 2, 3 });
    b.array_f64("sixteen-letters!", { 1 }).end();
    b.group("time").element("time", FLAG_SINGLE | TYPE_DOUBLE, { 1, 2, 3 }).end();
    add("odd-sizes", b.bytes());
  }
  {
    ZvbBuilder b;  // names borne twice: not found at that level, looked up one level up
    b.file_header().array_f64("x", { 9, 9 });
    b.group_f64("time", 0).array_f64("x", { 1, 2 }).array_f64("x", { 3, 4 });
    b.array_f64("y", { 5, 6 }).single_f64("time", 3).single_f64("time", 4).end();
    add("duplicates", b.bytes());
  }
  {
    ZvbBuilder b;  // arrays of lengths 5, 5 and 3: the run ends with an error
    b.file_header().group_f64("time", 0).array_f64("x", ramp(5, 0)).array_f64("y", ramp(3, 0));
    b.array_f64("ID", ramp(5, 0)).end();
    add("unequal", b.bytes());
  }
  {
    ZvbBuilder b;  // an ID array shorter than the arrays
    b.file_header().group_f64("time", 0).array_f64("x", ramp(3, 0)).array_f64("y", ramp(3, 0));
    b.array_f64("ID", { 1 }).end();
    add("short-id", b.bytes());
  }
  return all;
}

void make_directory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "zvbseeds: %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zvbseeds DIR\n");
    return 1;
  }
  const std::string dir = argv[1];
  make_directory(dir);
  make_directory(dir + "/run");
  make_directory(dir + "/tree");
  for (const Seed& seed : seeds()) {
    write_file_bytes(dir + "/run/" + seed.name, seed.bytes);
    for (const Reading& reading : readings) {
      Bytes controlled{ reading.control };
      controlled.insert(controlled.end(), seed.bytes.begin(), seed.bytes.end());
      write_file_bytes(dir + "/tree/" + seed.name + "-" + reading.suffix, controlled);
    }
  }
  return 0;
}
