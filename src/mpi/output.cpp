// Writing the output file from every rank: the temporary file, the room taken ahead for a
// mapping of it, the shares stored in the mapping or written through MPI-IO, and the rename.
#include "mpi/output.h"

#include <fcntl.h>
#include <mpi.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/platform.h"
#include "base/report.h"
#include "data/format.h"
#include "data/output_guard.h"
#include "data/writer.h"
#include "mpi/ranks.h"
#include "transpose/layout.h"

namespace {

// Bytes of a share written by one call: a call's count is an int.
constexpr std::uint64_t WRITE_PIECE = std::uint64_t{ 1 } << 30;

// The output until it is complete; known to every rank, and held by the output guard (which
// keeps a pointer to its text) until it is renamed.
std::string temp_name;

std::string errno_reason(int error) {
  return std::strerror(error);
}

// An MPI error as the system would name it where MPI's class has a system equivalent, so that
// a full disk reads as it does for zvbtrack; else in MPI's own words.
std::string mpi_reason(int result) {
  int error_class = MPI_ERR_OTHER;
  MPI_Error_class(result, &error_class);
  const struct {
    int error_class;
    int error;
  } system_errors[] = {
    { MPI_ERR_NO_SPACE, ENOSPC },     { MPI_ERR_QUOTA, EDQUOT },
    { MPI_ERR_ACCESS, EACCES },       { MPI_ERR_READ_ONLY, EROFS },
    { MPI_ERR_NO_SUCH_FILE, ENOENT }, { MPI_ERR_FILE_EXISTS, EEXIST },
    { MPI_ERR_FILE_IN_USE, EBUSY },   { MPI_ERR_IO, EIO },
  };
  for (const auto& row : system_errors) {
    if (row.error_class == error_class)
      return errno_reason(row.error);
  }
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  MPI_Error_string(result, text, &length);
  return std::string(text, static_cast<std::size_t>(std::clamp(length, 0, MPI_MAX_ERROR_STRING)));
}

// Writes bytes that an MPI-IO write would not take with the system's own call: they go to
// the file after all, or the call names the reason ("" when they went).
std::string write_directly(std::int64_t offset, const unsigned char* bytes, std::size_t length) {
  const int descriptor = open(temp_name.c_str(), O_WRONLY | O_CLOEXEC);
  if (descriptor < 0)
    return errno_reason(errno);
  std::string reason;
  if (write_at(descriptor, bytes, length, offset) != 0)
    reason = errno_reason(errno);
  if (close(descriptor) != 0 && reason.empty())
    reason = errno_reason(errno);
  return reason;
}

// Writes `length` bytes at `offset` of the open file through MPI-IO, in pieces, counting what
// each write took: a short write goes on after its last byte, and a write that takes nothing
// without an error (as some MPI libraries answer a full disk) is given to the system, which
// names the reason. Returns "" when every byte is written.
std::string write_counted(MPI_File file, std::uint64_t offset, const unsigned char* bytes,
                          std::uint64_t length) {
  for (std::uint64_t at = 0; at < length;) {
    const std::uint64_t piece = std::min(WRITE_PIECE, length - at);
    MPI_Status status;
    const int result = MPI_File_write_at(file, static_cast<MPI_Offset>(offset + at), bytes + at,
                                         static_cast<int>(piece), MPI_BYTE, &status);
    if (result != MPI_SUCCESS)
      return mpi_reason(result);
    int count = 0;
    if (MPI_Get_count(&status, MPI_BYTE, &count) != MPI_SUCCESS || count == MPI_UNDEFINED)
      count = 0;
    if (count <= 0) {
      const std::string reason = write_directly(static_cast<std::int64_t>(offset + at), bytes + at,
                                                static_cast<std::size_t>(piece));
      if (!reason.empty())
        return reason;
      count = static_cast<int>(piece);
    }
    at += static_cast<std::uint64_t>(count);
  }
  return "";
}

// Rank 0 takes the room of the whole output in the file ahead, so that writing the shares into
// it cannot run out of space. True when taken; false when the file system cannot take room
// ahead; a refusal (no space, a quota, a size limit) ends every rank with its reason.
bool take_room_ahead(const char* target) {
  int taken = 1;
  int error = 0;
  if (world_rank == 0) {
    const int descriptor = open(temp_name.c_str(), O_RDWR | O_CLOEXEC);
    const std::int64_t size = static_cast<std::int64_t>(sizeof(FileHeader) + laid_out.output_size);
    if (descriptor < 0) {
      error = errno;
    } else if (allocate_file_space(descriptor, 0, size) != 0) {
      if (errno == EOPNOTSUPP || errno == ENOSYS)
        taken = 0;
      else
        error = errno;
    }
    if (descriptor >= 0)
      close(descriptor);
  }
  agree_on_errno(error, target);
  MPI_Bcast(&taken, 1, MPI_INT, 0, MPI_COMM_WORLD);
  return taken != 0;
}

// Maps this rank's part of the room rank 0 took, for a share filled in place: rank 0's from the
// file's start, so that the header's page is its own. Every rank's part is mapped, or none is.
void map_share(const RankShare& rank_share, ShareBytes* share) {
  const std::uint64_t start = sizeof(FileHeader) + rank_share.share_start;
  const std::uint64_t granularity = static_cast<std::uint64_t>(map_granularity());
  const std::uint64_t offset = world_rank == 0 ? 0 : start - start % granularity;
  const std::uint64_t length = share->length == 0 ? 0 : start + share->length - offset;
  unsigned char* mapping = nullptr;
  if (length != 0 && length <= SIZE_MAX) {
    const int descriptor = open(temp_name.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor >= 0) {
      mapping =
          map_file(descriptor, static_cast<std::int64_t>(offset), static_cast<std::size_t>(length));
      close(descriptor);
    }
  }
  int all_mapped = length == 0 || mapping != nullptr ? 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &all_mapped, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
  if (all_mapped == 0) {
    unmap_file(mapping, static_cast<std::size_t>(length));
    return;
  }
  if (mapping == nullptr)
    return;
  // A store that meets a file cut short by someone else lands harmlessly and is reported.
  guard_mapping(mapping, static_cast<std::size_t>(length));
  share->mapping = mapping;
  share->mapping_length = static_cast<std::size_t>(length);
  share->bytes = mapping + (start - offset);
  advise_scattered_stores(share->bytes, static_cast<std::size_t>(share->length));
}

// Done with a share filled in place: ranks on one node share its copy of the file's pages,
// which any later reader there sees too; ranks on several nodes put their bytes in the shared
// file before rank 0 renames it, and learn of a failure to. "" or the reason of a failure.
std::string unmap_share(ShareBytes* share) {
  std::string reason;
  const bool one_node = ranks_on_node() == static_cast<std::uint64_t>(world_size);
  if (!one_node && msync(share->mapping, share->mapping_length, MS_SYNC) != 0)
    reason = errno_reason(errno);
  unguard_mapping();
  if (munmap(share->mapping, share->mapping_length) != 0 && reason.empty())
    reason = errno_reason(errno);
  share->mapping = nullptr;
  share->bytes = nullptr;
  return reason;
}

// Each rank writes its share into the room rank 0 took; ranks on several nodes put their
// bytes in the shared file before rank 0 renames it, and learn of a failure to.
void write_into_room(const char* target, const RankShare& rank_share,
                     const unsigned char* header_bytes, ShareBytes* share) {
  std::string reason;
  int cut = 0;
  const std::int64_t length = static_cast<std::int64_t>(sizeof(FileHeader) + laid_out.output_size);
  const int descriptor = open(temp_name.c_str(), O_RDWR | O_CLOEXEC);
  if (descriptor < 0) {
    reason = errno_reason(errno);
  } else {
    if (world_rank == 0 && write_at(descriptor, header_bytes, sizeof(FileHeader), 0) != 0)
      reason = errno_reason(errno);
    if (share->mapping != nullptr) {
      const std::string unmapped = unmap_share(share);
      if (reason.empty())
        reason = unmapped;
      cut = output_mapping_cut() ? 1 : 0;
    } else if (reason.empty() && share->length != 0) {
      const int error = write_out_plain_block(
          descriptor, share->bytes, static_cast<std::size_t>(share->length),
          static_cast<std::int64_t>(sizeof(FileHeader) + rank_share.share_start), length);
      cut = error == ECANCELED ? 1 : 0;
      if (error != 0 && error != ECANCELED)
        reason = errno_reason(error);
    }
    // Someone else cut the temporary file while it was written: what it holds is not the output.
    if (file_length(descriptor) < length)
      cut = 1;
    const bool one_node = ranks_on_node() == static_cast<std::uint64_t>(world_size);
    if (reason.empty() && !one_node && fdatasync(descriptor) != 0)
      reason = errno_reason(errno);
    if (close(descriptor) != 0 && reason.empty())
      reason = errno_reason(errno);
  }
  if (share->mapping != nullptr)
    (void)unmap_share(share);  // the temporary file could not be opened
  else
    free_large_block(share->bytes, share->length);
  MPI_Allreduce(MPI_IN_PLACE, &cut, 1, MPI_INT, MPI_LOR, MPI_COMM_WORLD);
  if (cut != 0)
    report_error(error_table, ERR_OUTPUT_CHANGED, target);
  agree_on_reason(reason, target);
}

void write_through_mpi_io(const char* target, const RankShare& rank_share,
                          const unsigned char* header_bytes, ShareBytes* share) {
  MPI_File file;
  hide_library_messages();
  int result =
      MPI_File_open(MPI_COMM_WORLD, temp_name.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &file);
  show_library_messages();
  agree_on_reason(result != MPI_SUCCESS ? mpi_reason(result) : "", target);
  // Each rank writes its share, contiguous and apart from the others', on its own:
  // collective writes would move the shares between the ranks once more.
  hide_library_messages();
  std::string reason;
  if (world_rank == 0)
    reason = write_counted(file, 0, header_bytes, sizeof(FileHeader));
  if (reason.empty())
    reason = write_counted(file, sizeof(FileHeader) + rank_share.share_start, share->bytes,
                           share->length);
  result = MPI_File_close(&file);
  if (result != MPI_SUCCESS && reason.empty())
    reason = mpi_reason(result);
  show_library_messages();
  free_large_block(share->bytes, share->length);
  agree_on_reason(reason, target);
}

}  // namespace

void make_temporary_output(const char* target) {
  int error = 0;
  if (world_rank == 0) {
    struct stat status;
    const bool exists = stat(target, &status) == 0;
    if (exists && S_ISDIR(status.st_mode)) {
      error = EISDIR;
    } else if (exists && access(target, W_OK) != 0) {
      error = errno;
    } else {
      temp_name = std::string(target) + ".zvbtrack-XXXXXX";
      const int descriptor = mkstemp(temp_name.data());
      if (descriptor < 0) {
        error = errno;
        temp_name.clear();
      } else {
        guard_temporary(temp_name.c_str());
        if (exists)
          let_go_of_cached_pages(AT_FDCWD, target);
        const mode_t mask = umask(0);
        umask(mask);
        (void)fchmod(descriptor, exists ? status.st_mode & 07777 : 0666 & ~mask);
        close(descriptor);
      }
    }
  }
  agree_on_errno(error, target);
  int length = static_cast<int>(temp_name.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  temp_name.resize(static_cast<std::size_t>(length));
  MPI_Bcast(temp_name.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
  if (world_rank != 0)
    guard_temporary(temp_name.c_str());
}

ShareBytes take_share_bytes(const RankShare& share, const char* target,
                            std::uint64_t memory_budget) {
  ShareBytes share_bytes{ nullptr, share.share_end - share.share_start, false, nullptr, 0 };
  // Rank 0's environment decides, so that every rank takes the same path.
  const char* choice = std::getenv("ZVBTRACK_MPI_IO");
  int in_room = choice == nullptr || *choice == '\0' ? 1 : 0;
  MPI_Bcast(&in_room, 1, MPI_INT, 0, MPI_COMM_WORLD);
  share_bytes.in_room = in_room != 0 && take_room_ahead(target);
  int in_place = large_output(laid_out.output_size, memory_budget) ? 1 : 0;
  MPI_Bcast(&in_place, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (share_bytes.in_room && in_place != 0)
    map_share(share, &share_bytes);
  // Filled once and written out: ordinary pages, which a fresh huge page costs more than,
  // brought in at once.
  if (share_bytes.length != 0 && share_bytes.mapping == nullptr) {
    share_bytes.bytes = static_cast<unsigned char*>(take_plain_block(share_bytes.length));
    if (share_bytes.bytes != nullptr)
      bring_in_block_part(share_bytes.bytes, 0, share_bytes.length);
  }
  agree_on_memory(share_bytes.length == 0 || share_bytes.bytes != nullptr);
  return share_bytes;
}

void write_output_file(const char* target, const RankShare& share, ShareBytes* share_bytes) {
  FileHeader header{};
  init_file_header(&header, "ZVBTRACK", 1, 0, "", 0, 0);
  unsigned char header_bytes[sizeof(FileHeader)];
  encode_file_header(header, header_bytes);
  if (share_bytes->in_room)
    write_into_room(target, share, header_bytes, share_bytes);
  else
    write_through_mpi_io(target, share, header_bytes, share_bytes);
  *share_bytes = ShareBytes{ nullptr, 0, false, nullptr, 0 };

  int error = 0;
  if (world_rank == 0) {
    if (std::rename(temp_name.c_str(), target) != 0)
      error = errno;
    else
      release_output_guard();
  }
  agree_on_errno(error, target);
  release_output_guard();
  temp_name.clear();
}
