// Opening the input on every rank, each for itself, and making sure that they all see the same
// file under its name.
#ifndef ZVBTRACK_MPI_SAME_INPUT_H_
#define ZVBTRACK_MPI_SAME_INPUT_H_

#include "data/stream.h"

// Opens `name` on every rank as open_input does. A rank that cannot open or read it makes
// every rank fail at once with its line; ranks that see another file than rank 0 (another
// length, modification time, or checksum of the file's first bytes and of pieces spread over
// it) make every rank refuse with one line naming the first of them. Collective; does not
// return on failure.
void open_same_input(const char* name, DataReader* reader);

#endif  // ZVBTRACK_MPI_SAME_INPUT_H_
