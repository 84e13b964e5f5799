// What a run keeps of its input: a set of identifiers (-i) and a window of the loop variable
// (-w). Identifiers and loop values are compared as the doubles the transposition gives them:
// 0.0 and -0.0 are one value, every NaN is matched by "nan" and by no range, and an
// integer-valued double is matched by its integer.
#ifndef ZVBTRACK_TRANSPOSE_SELECTION_H_
#define ZVBTRACK_TRANSPOSE_SELECTION_H_

#include <cstdint>
#include <vector>

// Identifiers: single values and inclusive ranges, either end of which may be open.
struct IdSelection {
  std::vector<std::uint64_t> keys;  // IdIndex::key_of of each single value, sorted
  struct Range {
    double low;   // -inf when open
    double high;  // +inf when open
  };
  std::vector<Range> ranges;  // sorted by low end, overlapping ones merged
};

// LO <= value <= HI, either end open.
struct LoopWindow {
  double low;   // -inf when open
  double high;  // +inf when open
  bool open_low;
  bool open_high;
};

// The selection of the run: null for none (everything is kept). Set before the walks, read by
// every way of transposing.
extern const IdSelection* id_selection;
extern const LoopWindow* loop_window;

// Reads -i's text: numbers and ranges a..b separated by commas, or @FILE, whose items are
// separated by commas, blanks or line ends. Does not return on a malformed text or an
// unreadable file: the message names the option.
IdSelection parse_id_selection(const char* text);

// Reads -w's text: LO..HI, either end left out. Does not return on a malformed text or LO > HI.
LoopWindow parse_loop_window(const char* text);

// Reads -i's and -w's texts (null: not given) into the run's selection. Does not return on a
// text that cannot be read.
void take_selection(const char* ids_text, const char* window_text);

bool selects_id(const IdSelection& selection, double id);
bool selects_loop_value(const LoopWindow& window, double value);

#endif  // ZVBTRACK_TRANSPOSE_SELECTION_H_
