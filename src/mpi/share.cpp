// Filling one rank's share of the output: the samples of its groups are sorted into records
// for the ranks whose shares their places meet, the records travel in bounded rounds, and each
// rank fills its share from the records that reached it, taken in the walk's order (rank by
// rank), which gives each sample its index within its place.
#include "mpi/share.h"

#include <mpi.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "base/report.h"
#include "data/format.h"
#include "mpi/ranks.h"
#include "transpose/layout.h"
#include "transpose/sources.h"

namespace {

// Bytes a rank queues for the other ranks before a round of exchange: an eighth of its part of
// the budget, at most about this much together.
constexpr std::size_t ROUND_BYTES = std::size_t{ 32 } << 20;
constexpr std::size_t SMALLEST_QUEUE = std::size_t{ 64 } << 10;
// What a rank keeps in memory of what each rank sent it when no memory limit is known.
constexpr std::size_t KEPT_WITHOUT_LIMIT = std::size_t{ 1 } << 30;

const char* changed_input_name = "";

[[noreturn]] void report_input_changed() {
  report_error(error_table, ERR_INPUT_CHANGED, changed_input_name);
}

// Array data loaded for a group go back to file once it is done, as the walk does it.
void release_children(DataNode* group) {
  for (DataNode* child = group->first_child; child != nullptr; child = child->next)
    release_data(child);
}

std::uint64_t total_samples() {
  std::uint64_t total = 0;
  for (const GroupPlan& plan : laid_out.plans)
    total += plan.samples;
  return total;
}

// The samples of this rank's groups, sorted into records for the ranks whose shares their
// places meet, queued per rank. Rank 0's records are the first in walk order: those for its
// own share fill it at once. Another rank's records for its own share wait, with what it
// receives, until rank 0's records have all reached it. Sorting stops when a queue could not
// take the next piece of samples, and resumes where it stopped after the queues went out.
class Producer {
 public:
  Producer(const RankShare& share, SpillBuckets* queues, std::size_t queue_size,
           SpillBuckets* received)
      : share_(share), queues_(queues), queue_size_(queue_size), plan_(share.first_plan) {
    targets_.assign(static_cast<std::size_t>(share.ranks), queues);
    if (share.rank != 0)
      targets_[static_cast<std::size_t>(share.rank)] = received;
  }

  // True when every sample is sorted.
  bool produce() {
    for (; plan_ < share_.end_plan; plan_++) {
      const GroupPlan& plan = laid_out.plans[plan_];
      DataNode* group = const_cast<DataNode*>(plan.group);
      if (!resolved_) {
        if (!resolve_group(group, true) || !plan_matches_sources(plan))
          report_input_changed();
        places_.resize(plan.samples);
        if (!find_sample_places(plan, places_.data()))
          report_input_changed();
        start_sorting_group(plan_, places_.data());
        resolved_ = true;
        sample_ = 0;
      }
      // A piece at a time, each small enough for any queue after a round.
      const std::size_t piece = std::max<std::size_t>(queue_size_ / 4 / largest_sorted_sample(), 1);
      while (sample_ < plan.samples) {
        if (!room_for(piece * largest_sorted_sample()))
          return false;
        const std::size_t end = std::min<std::size_t>(sample_ + piece, plan.samples);
        sort_samples(targets_.data(), sample_, end, 0, targets_.size());
        sample_ = end;
        if (share_.rank == 0 && queues_->held_size(0) != 0) {
          fill_from_records(queues_->held_bytes(0), queues_->held_size(0));
          queues_->empty_held(0);
          forget_marks(0);
        }
      }
      release_children(group);
      resolved_ = false;
    }
    return true;
  }

 private:
  bool room_for(std::size_t bytes) const {
    for (std::size_t r = 0; r < targets_.size(); r++) {
      if (r != static_cast<std::size_t>(share_.rank) && queues_->room_left(r) < bytes)
        return false;
    }
    return true;
  }

  const RankShare& share_;
  SpillBuckets* queues_;
  std::size_t queue_size_;
  std::vector<SpillBuckets*> targets_;  // per rank: where its records go
  std::size_t plan_;
  bool resolved_ = false;
  std::size_t sample_ = 0;
  std::vector<std::uint32_t> places_;  // of the current group's samples
};

// A round of exchange: every rank sends its queues to their ranks. What rank 0 sent fills the
// share at once; what each other rank sent is appended to its bucket of what was received.
// The bytes go straight from the queues to where they are received, through datatypes that
// address them.
void exchange_round(const RankShare& share, SpillBuckets& queues, SpillBuckets& received,
                    std::vector<unsigned char>& from_first) {
  const auto ranks = static_cast<std::size_t>(share.ranks);
  std::vector<int> send_sizes(ranks, 0), receive_sizes(ranks, 0);
  for (std::size_t r = 0; r < ranks; r++) {
    if (r != static_cast<std::size_t>(share.rank))
      send_sizes[r] = static_cast<int>(queues.held_size(r));
  }
  MPI_Alltoall(send_sizes.data(), 1, MPI_INT, receive_sizes.data(), 1, MPI_INT, MPI_COMM_WORLD);
  std::vector<int> counts_out(ranks), counts_in(ranks), zeros(ranks, 0);
  std::vector<MPI_Datatype> types_out(ranks, MPI_BYTE), types_in(ranks, MPI_BYTE);
  const auto address_type = [](const void* bytes, int size, MPI_Datatype* type) {
    MPI_Aint address;
    MPI_Get_address(bytes, &address);
    MPI_Type_create_hindexed(1, &size, &address, MPI_BYTE, type);
    MPI_Type_commit(type);
  };
  for (std::size_t r = 0; r < ranks; r++) {
    counts_out[r] = send_sizes[r] > 0 ? 1 : 0;
    if (send_sizes[r] > 0)
      address_type(queues.held_bytes(r), send_sizes[r], &types_out[r]);
    counts_in[r] = receive_sizes[r] > 0 ? 1 : 0;
    if (receive_sizes[r] <= 0)
      continue;
    const auto size = static_cast<std::size_t>(receive_sizes[r]);
    if (r == 0)
      from_first.resize(size);
    address_type(r == 0 ? from_first.data() : received.append(r, size), receive_sizes[r],
                 &types_in[r]);
  }
  MPI_Alltoallw(MPI_BOTTOM, counts_out.data(), zeros.data(), types_out.data(), MPI_BOTTOM,
                counts_in.data(), zeros.data(), types_in.data(), MPI_COMM_WORLD);
  for (std::size_t r = 0; r < ranks; r++) {
    if (types_out[r] != MPI_BYTE)
      MPI_Type_free(&types_out[r]);
    if (types_in[r] != MPI_BYTE)
      MPI_Type_free(&types_in[r]);
    if (send_sizes[r] > 0) {
      queues.empty_held(r);
      forget_marks(r);
    }
  }
  if (receive_sizes[0] > 0)
    fill_from_records(from_first.data(), static_cast<std::size_t>(receive_sizes[0]));
}

// Every buffer of the exchange is taken before it starts, so that a rank without the memory
// for them fails with the others, not alone in the middle of a round: the queues this rank
// sends from, the buckets it receives other ranks' records into, and room for the largest
// round of rank 0's records. False when one could not be had.
bool take_exchange_buffers(const RankShare& share, SpillBuckets& queues, SpillBuckets& received,
                           std::vector<unsigned char>& from_first, std::size_t queue_size) {
  bool taken = true;
  for (std::size_t r = 0; r < static_cast<std::size_t>(share.ranks); r++) {
    // Another rank's records for its own share go to its bucket of received records.
    if (r == 0 || r != static_cast<std::size_t>(share.rank))
      taken = taken && queues.take_buffer(r);
    if (r != 0)
      taken = taken && received.take_buffer(r);
  }
  if (!taken || share.rank == 0)
    return taken;
  // Without a handler a failed allocation throws, and is caught here instead of ending the
  // run on this rank alone.
  const std::new_handler handler = std::set_new_handler(nullptr);
  try {
    from_first.reserve(queue_size);
  } catch (const std::bad_alloc&) {
    taken = false;
  }
  std::set_new_handler(handler);
  return taken;
}

}  // namespace

std::uint64_t share_start_of(int rank, int ranks, std::uint64_t alignment) {
  const std::uint64_t size = laid_out.output_size;
  if (rank <= 0)
    return 0;
  if (rank >= ranks)
    return size;
  const auto even =
      static_cast<std::uint64_t>(static_cast<unsigned __int128>(size) *
                                 static_cast<unsigned>(rank) / static_cast<unsigned>(ranks));
  const std::uint64_t in_file = (sizeof(FileHeader) + even) / alignment * alignment;
  return std::min(size, in_file < sizeof(FileHeader) ? 0 : in_file - sizeof(FileHeader));
}

std::pair<std::size_t, std::size_t> plans_of(int rank, int ranks) {
  // A group goes to the rank in whose part of all samples its first sample falls.
  const unsigned __int128 total = total_samples();
  std::uint64_t before = 0;
  std::size_t first = laid_out.plans.size();
  std::size_t end = laid_out.plans.size();
  for (std::size_t p = 0; p < laid_out.plans.size(); p++) {
    const auto owner = static_cast<int>(before * static_cast<unsigned __int128>(ranks) / total);
    if (owner >= rank && first == laid_out.plans.size())
      first = p;
    if (owner > rank) {
      end = p;
      break;
    }
    before += laid_out.plans[p].samples;
  }
  return { first, end };
}

RankShare share_of(int rank, int ranks, std::uint64_t alignment) {
  const auto [first_plan, end_plan] = plans_of(rank, ranks);
  return RankShare{ rank,
                    ranks,
                    alignment,
                    first_plan,
                    end_plan,
                    share_start_of(rank, ranks, alignment),
                    share_start_of(rank + 1, ranks, alignment) };
}

void fill_share(const RankShare& share, unsigned char* bytes, const char* input_name,
                std::uint64_t budget, const char* scratch_directory) {
  changed_input_name = input_name;
  std::vector<std::uint64_t> starts(static_cast<std::size_t>(share.ranks) + 1);
  for (int r = 0; r <= share.ranks; r++)
    starts[static_cast<std::size_t>(r)] = share_start_of(r, share.ranks, share.alignment);
  set_windows(std::move(starts));

  const auto ranks = static_cast<std::size_t>(share.ranks);
  const std::size_t largest_queue = std::max(ROUND_BYTES / ranks, SMALLEST_QUEUE);
  std::size_t queue_size = std::clamp<std::size_t>(
      budget == 0 ? largest_queue : static_cast<std::size_t>(budget / 8 / ranks), SMALLEST_QUEUE,
      largest_queue);
  // Room for a few pieces of the widest samples: each a mark and a record of doubles.
  const std::size_t widest_sample =
      2 * sizeof(std::uint32_t) + sizeof(double) + value_count * (sizeof(double) + 1);
  queue_size = std::max(queue_size, 8 * widest_sample);
  // What this rank receives from each rank is kept in memory up to its part of half the
  // budget, and in a temporary file beyond.
  const std::size_t kept = std::max<std::size_t>(
      budget == 0 ? KEPT_WITHOUT_LIMIT : static_cast<std::size_t>(budget / 2 / ranks), queue_size);
  SpillBuckets queues(ranks, queue_size, scratch_directory);
  SpillBuckets received(ranks, kept, scratch_directory);
  std::vector<unsigned char> from_first;
  agree_on_memory(take_exchange_buffers(share, queues, received, from_first, queue_size));
  begin_own_work();  // a group that changed under one rank is that rank's failure
  // The sample log holds the places of every group with copies, in walk order.
  laid_out.sample_log->start_reading(0);
  for (std::size_t p = 0; p < share.first_plan; p++) {
    if (!skip_sample_places(laid_out.plans[p]))
      report_input_changed();
  }
  start_window(bytes, share.share_start, share.share_end - share.share_start);
  Producer producer(share, &queues, queue_size, &received);
  for (;;) {
    const int done = producer.produce() ? 1 : 0;
    exchange_round(share, queues, received, from_first);
    int all_done = 0;
    MPI_Allreduce(&done, &all_done, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
    if (all_done != 0)
      break;
  }
  // The other ranks' records, in rank order: the walk's order.
  for (std::size_t r = 1; r < ranks; r++) {
    received.start_reading(r);
    std::size_t size = 0;
    while (const unsigned char* records = received.next_block(&size))
      fill_from_records(records, size);
  }
  finish_window();
}
