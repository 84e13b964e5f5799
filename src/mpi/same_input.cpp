// The input as every rank sees it: opened by each, and compared with rank 0's by its length,
// its modification time and a checksum of a sample of its bytes, before any rank reads its tree.
#include "mpi/same_input.h"

#include <fcntl.h>
#include <mpi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/platform.h"
#include "base/report.h"
#include "data/reader.h"
#include "mpi/ranks.h"

namespace {

// The sample: the first piece (the file header and the first elements), and pieces spread
// evenly up to the file's last byte; a file no longer than the sample is taken whole.
constexpr std::size_t PIECE_SIZE = 4096;
constexpr std::uint64_t PIECE_COUNT = 64;

struct Fingerprint {
  std::uint64_t length;
  std::int64_t modified_seconds;
  std::int64_t modified_nanoseconds;
  std::uint64_t checksum;
};

bool operator==(const Fingerprint& a, const Fingerprint& b) {
  return a.length == b.length && a.modified_seconds == b.modified_seconds &&
         a.modified_nanoseconds == b.modified_nanoseconds && a.checksum == b.checksum;
}

// 64-bit FNV-1a: any changed byte changes it.
std::uint64_t add_to_checksum(std::uint64_t checksum, const unsigned char* bytes,
                              std::size_t size) {
  for (std::size_t i = 0; i < size; i++)
    checksum = (checksum ^ bytes[i]) * 0x100000001B3u;
  return checksum;
}

// 0, or the errno value of what failed.
int take_fingerprint(int descriptor, Fingerprint* fingerprint) {
  struct stat status;
  if (fstat(descriptor, &status) != 0)
    return errno;
  const auto length = static_cast<std::uint64_t>(status.st_size > 0 ? status.st_size : 0);
  *fingerprint =
      Fingerprint{ length, status.st_mtim.tv_sec, status.st_mtim.tv_nsec, 0xCBF29CE484222325u };
  unsigned char piece[PIECE_SIZE];
  const bool whole = length <= PIECE_SIZE * PIECE_COUNT;
  const std::uint64_t count = whole ? (length + PIECE_SIZE - 1) / PIECE_SIZE : PIECE_COUNT;
  for (std::uint64_t k = 0; k < count; k++) {
    const std::uint64_t offset =
        whole ? k * PIECE_SIZE : (length - PIECE_SIZE) * k / (PIECE_COUNT - 1);
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(PIECE_SIZE, length - offset));
    if (read_at(descriptor, piece, size, static_cast<std::int64_t>(offset)) != 0)
      return errno;
    fingerprint->checksum = add_to_checksum(fingerprint->checksum, piece, size);
  }
  return 0;
}

}  // namespace

void open_same_input(const char* name, DataReader* reader) {
  // Every rank tries first, so that one that cannot open the file fails with the others.
  const int probe = open(name, O_RDONLY | O_CLOEXEC);
  agree_on_errno(probe < 0 ? errno : 0, name);
  close(probe);
  open_input(name, reader);

  Fingerprint own{};
  agree_on_errno(take_fingerprint(stream_descriptor(reader->stream), &own), name);
  Fingerprint first = own;
  MPI_Bcast(&first, sizeof first, MPI_BYTE, 0, MPI_COMM_WORLD);
  int other_rank = own == first ? world_size : world_rank;
  MPI_Allreduce(MPI_IN_PLACE, &other_rank, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (other_rank != world_size)
    fatal_error("\"%s\": Not the same file on rank %d as on rank 0", name, other_rank);
}
