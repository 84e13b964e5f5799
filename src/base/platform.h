// The few operating-system services the data layer needs beyond the C streams.
#ifndef ZVBTRACK_BASE_PLATFORM_H_
#define ZVBTRACK_BASE_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The descriptor beneath a stream.
int stream_descriptor(std::FILE* stream);

// True when the descriptor is a terminal.
bool is_terminal(int descriptor);

// Binary mode for a standard stream: bytes pass unchanged. Streams here never translate line
// ends, so there is nothing to switch.
void set_binary_mode(int descriptor);

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file opened
// later takes a standard stream's number. Each is opened the other way round (standard input
// for writing, standard output and error for reading), so that using it fails as using a
// closed stream would. Without /dev/null the process ends with status 1 at once.
void open_standard_descriptors();

// The length in bytes of the regular file open on the descriptor; -1 when it is not a
// regular file or its length cannot be had.
std::int64_t file_length(int descriptor);

// The processors this process may run on (at least 1): fewer than the machine's when it is
// bound to some of them, as the ranks of a parallel job usually are.
unsigned usable_processors();

// A zero-filled block of `size` bytes for data touched all over, backed by huge pages where
// the system allows so that random access costs fewer address translations; null when there
// is no memory. Freed with free_large_block and the same size.
void* take_large_block(std::size_t size);
void free_large_block(void* block, std::size_t size);
// A zero-filled block like take_large_block's, in ordinary pages: for bytes filled once and
// then written out, where a fresh huge page (which a virtual machine's host may have to back
// anew, as it may take back free memory) costs more than the translations it saves. Freed
// with free_large_block.
void* take_plain_block(std::size_t size);
// Brings in now every page that holds a byte of [offset, offset + length) of such a block, as
// stores would one page at a time, and cheaper: for a block about to be stored into all over.
// Advice only: where the system cannot, the stores bring the pages in.
void bring_in_block_part(void* block, std::size_t offset, std::size_t length);
// Gives back the memory of the whole pages within [offset, offset + length) of such a block,
// which is not read again (its pages would read as zeros).
void let_go_of_block_part(void* block, std::size_t offset, std::size_t length);
// Writes the `size` bytes of such a block at `offset` of a regular file, in pieces small
// enough that the file's page cache takes small pages for them, and gives the block's memory
// back as it goes. The file, `length` bytes long when this begins, is to stay so: 0, ECANCELED
// when someone else cut it meanwhile (what is left is then not written), or the errno of a
// failed write. Never on a descriptor open for appending.
int write_out_plain_block(int descriptor, unsigned char* block, std::size_t size,
                          std::int64_t offset, std::int64_t length);
// The block of `size` bytes (from take_large_block, or null with size 0) made `new_size`
// bytes long, a larger size: its bytes kept, where it is or moved without copying them, and
// the bytes after them zero; null, with the block as it was, when there is no memory.
void* grow_large_block(void* block, std::size_t size, std::size_t new_size);

// A descriptor open for reading and writing on the same regular file as `descriptor`, which
// may be open for writing only: what mapping the file for writing needs. -1 when there is
// none (not a regular file, a descriptor not open for writing, or a file that may not be read).
int reopen_read_write(int descriptor);

// Makes the file `offset + length` bytes long with every block up to there allocated now, so
// that storing into a mapping of them cannot run out of space. 0, or -1 with errno set
// (EOPNOTSUPP where the file system cannot allocate ahead).
int allocate_file_space(int descriptor, std::int64_t offset, std::int64_t length);

// Advice only: the clean pages the system keeps of the regular file `name` (in the directory
// open on `directory`, or AT_FDCWD) may go now. For a file about to be replaced, so that
// writing its replacement reuses memory the system has at hand instead of taking fresh pages;
// its bytes stay on disk, and pages not yet written back stay too.
void let_go_of_cached_pages(int directory, const char* name);

// Maps `length` bytes of the file from `offset` (a multiple of map_granularity()) for reading
// and writing, shared with the file; null when it cannot be mapped.
unsigned char* map_file(int descriptor, std::int64_t offset, std::size_t length);
void unmap_file(unsigned char* mapping, std::size_t length);

// Advice only: the pages of `length` bytes at `bytes` in a mapping of a file are about to be
// stored into in no order, so each is brought in alone (no pages read ahead around it). Each
// then takes a single page of memory, which the system has at hand far more often than the
// runs of pages read-ahead would take.
void advise_scattered_stores(unsigned char* bytes, std::size_t length);

// Done with `length` bytes at `bytes` inside a shared mapping of the file open on `descriptor`
// from its byte `offset`, and with every byte of the mapping before them: their writing back
// starts now, and the pages that hold them leave the process's memory (the file keeps them),
// all but a last page that bytes after them share.
void release_mapped_range(int descriptor, std::int64_t offset, unsigned char* bytes,
                          std::size_t length);
std::int64_t map_granularity();

// The directory part of `path`: "." when it has none, "/" for a file in the root.
std::string directory_of(const char* path);

// A new temporary file in `directory` (null or unusable: $TMPDIR, else /tmp), open for reading
// and writing, whose name is removed at once, so that it is gone on any exit. -1 with errno.
int open_scratch_file(const char* directory);

// Reads or writes exactly `size` bytes at `offset`, going on after short transfers and
// interruptions. 0, or -1 with errno set (0 bytes read counts as EIO).
int read_at(int descriptor, void* bytes, std::size_t size, std::int64_t offset);
int write_at(int descriptor, const void* bytes, std::size_t size, std::int64_t offset);
// Reads up to `size` bytes at `offset`, fewer only at the end of the file: the count read, or
// -1 with errno set.
std::int64_t read_up_to(int descriptor, void* bytes, std::size_t size, std::int64_t offset);

// Seconds since 1970-01-01 00:00 UTC.
std::int64_t current_time();

#endif  // ZVBTRACK_BASE_PLATFORM_H_
