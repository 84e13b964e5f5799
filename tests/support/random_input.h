// Random inputs over every axis of the format, with a command line to transpose each: the
// material of the comparison of every way of transposing against the reference build. The
// same seed gives the same input on every machine.
#ifndef ZVBTRACK_TESTS_SUPPORT_RANDOM_INPUT_H_
#define ZVBTRACK_TESTS_SUPPORT_RANDOM_INPUT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "support/zvb_builder.h"

struct RandomInput {
  // The file: bytes[0, hole_at), then hole_size zero bytes (a hole that takes no disk space:
  // an unrequested array large enough for the other arrays to stay on file), then the rest.
  Bytes bytes;
  std::size_t hole_at = 0;
  std::uint64_t hole_size = 0;
  std::vector<std::string> options;   // before the input's name
  std::vector<std::string> operands;  // after it: the loop variable, then the arrays
  // With a selection: the items of -i (none: no -i) and the text of -w ("": no -w), and the
  // file as a run with them reads it, the hole at the same place.
  std::vector<std::string> id_items;
  std::string window;
  Bytes filtered;
};

// With `selecting`, also a selection and the input it leaves; such inputs are made so that
// leaving out what is not selected is well defined: every step holds its own loop value and
// identifiers, and no array in scope serves several steps.
RandomInput random_input(std::uint64_t seed, bool selecting = false);

// Writes the input as the selection leaves it at `path`.
void write_filtered_input(const std::string& path, const RandomInput& input);

// Writes the input's file at `path`.
void write_random_input(const std::string& path, const RandomInput& input);

// The command line after the program's name, with `input_name` in the input's place.
std::vector<std::string> random_input_args(const RandomInput& input, const std::string& input_name);

#endif  // ZVBTRACK_TESTS_SUPPORT_RANDOM_INPUT_H_
