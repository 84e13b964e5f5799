// Writes the random input of a seed, to look at one that a comparison found wrong:
// random_input SEED [selecting] writes in.zvb (and with a selection left.zvb, the input it
// leaves) into the current directory and prints the command line's words and the selection.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/random_input.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: random_input SEED [selecting]\n");
    return 2;
  }
  const bool selecting = argc > 2 && std::strcmp(argv[2], "selecting") == 0;
  const RandomInput input = random_input(std::strtoull(argv[1], nullptr, 10), selecting);
  write_random_input("in.zvb", input);
  for (const std::string& word : random_input_args(input, "in.zvb"))
    std::printf("'%s' ", word.c_str());
  std::printf("\n");
  if (selecting) {
    write_filtered_input("left.zvb", input);
    std::printf("-i ");
    for (const std::string& item : input.id_items)
      std::printf("%s,", item.c_str());
    std::printf(" -w %s\n", input.window.c_str());
  }
  return 0;
}
