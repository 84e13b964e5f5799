// Filling one rank's share of the output: its groups are read and their samples counted per
// place; an exclusive scan over the ranks gives each sample its index within its place; the
// values then travel in bounded rounds to the ranks whose bytes they fall in.
#include "mpi/share.h"

#include <mpi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/report.h"
#include "data/format.h"
#include "transpose/layout.h"
#include "transpose/sources.h"

namespace {

// Places per exclusive scan, so that the scan's buffers stay small whatever their number.
constexpr std::size_t SCAN_PIECE = std::size_t{ 1 } << 20;
// Values a rank queues for sending before a round of exchange: 4 MiB of records.
constexpr std::size_t ROUND_RECORDS = std::size_t{ 1 } << 18;

// One value on its way to the rank that writes it: its position among the output's elements
// and its bits (copied whole, so that every NaN keeps its payload).
struct ValueRecord {
  std::uint64_t position;
  std::uint64_t bits;
};
static_assert(sizeof(ValueRecord) == 16);

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

// The owner of each position: the rank whose share holds its byte.
class Owners {
 public:
  explicit Owners(const RankShare& share) : starts_(static_cast<std::size_t>(share.ranks) + 1) {
    for (int r = 0; r <= share.ranks; r++)
      starts_[static_cast<std::size_t>(r)] = share_start_of(r, share.ranks, share.alignment);
  }
  int of(std::uint64_t position) const {
    const auto after = std::upper_bound(starts_.begin(), starts_.end() - 1, position);
    return static_cast<int>(after - starts_.begin()) - 1;
  }

 private:
  std::vector<std::uint64_t> starts_;
};

// Sample indices: counts[place] becomes the number of samples of that place that the ranks
// before this one transpose.
void scan_counts(std::vector<std::uint32_t>& counts, int rank) {
  std::vector<std::uint32_t> before(std::min(SCAN_PIECE, counts.size()));
  for (std::size_t first = 0; first < counts.size(); first += SCAN_PIECE) {
    const std::size_t length = std::min(SCAN_PIECE, counts.size() - first);
    MPI_Exscan(&counts[first], before.data(), static_cast<int>(length), MPI_UINT32_T, MPI_SUM,
               MPI_COMM_WORLD);
    if (rank == 0)
      std::fill(counts.begin() + static_cast<std::ptrdiff_t>(first),
                counts.begin() + static_cast<std::ptrdiff_t>(first + length), 0u);
    else
      std::copy(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(length),
                counts.begin() + static_cast<std::ptrdiff_t>(first));
  }
}

// Writes the part of a value at `at` that falls in the share.
void put_value(const RankShare& share, unsigned char* bytes, const ValueRecord& record) {
  const std::uint64_t at = record.position;
  const std::uint64_t from = at < share.share_start ? share.share_start - at : 0;
  const std::uint64_t to = std::min<std::uint64_t>(sizeof(double), share.share_end - at);
  std::memcpy(bytes + (at + from - share.share_start),
              reinterpret_cast<const unsigned char*>(&record.bits) + from, to - from);
}

// The values of this rank's groups, produced sample by sample: those of its own share are
// written group by group, the others queued per owner; production stops when a round's worth is
// queued and resumes where it stopped.
class Producer {
 public:
  Producer(const RankShare& share, unsigned char* bytes, const Owners& owners,
           std::vector<std::uint32_t> places, std::vector<std::uint32_t> next_sample)
      : share_(share),
        bytes_(bytes),
        owners_(owners),
        places_(std::move(places)),
        next_sample_(std::move(next_sample)),
        plan_(share.first_plan),
        queues_(static_cast<std::size_t>(share.ranks)) {}

  // Queues values until ROUND_RECORDS are queued or none are left; true when none are left.
  bool produce() {
    for (; plan_ < share_.end_plan; plan_++) {
      const GroupPlan& plan = laid_out.plans[plan_];
      DataNode* group = const_cast<DataNode*>(plan.group);
      if (!resolved_) {
        if (!resolve_group(group, true) || !plan_matches_sources(plan))
          report_input_changed();
        if (places_.empty()) {
          group_places_.resize(plan.samples);
          if (!find_sample_places(plan, group_places_.data()))
            report_input_changed();
        }
        resolved_ = true;
        sample_ = 0;
      }
      const std::uint32_t* places = places_.empty() ? group_places_.data() : &places_[cursor_];
      for (; sample_ < plan.samples; sample_++) {
        if (queued_ >= ROUND_RECORDS)
          return false;
        // The places of samples ahead, then where their values go, are announced, so that
        // their fetches overlap.
        if (sample_ + 2 * PREFETCH_DISTANCE < plan.samples) {
          const std::uint32_t ahead = places[sample_ + 2 * PREFETCH_DISTANCE];
          __builtin_prefetch(&next_sample_[ahead]);
          __builtin_prefetch(&laid_out.containers[ahead]);
        }
        queue_sample(places[sample_], sample_);
      }
      write_staged();
      release_children(group);
      resolved_ = false;
      cursor_ += plan.samples;
    }
    return true;
  }

  std::vector<std::vector<ValueRecord>>& queues() { return queues_; }
  void clear() {
    for (std::vector<ValueRecord>& queue : queues_)
      queue.clear();
    queued_ = 0;
  }

 private:
  // Orders the staged samples by place, keeping walk order within a place.
  void sort_staged() { sort_by_place(&staged_, &sort_scratch_); }

  // Writes the current group's samples whose places lie in this share, place by place, so
  // that a place's next values share the cache lines and pages they go to.
  void write_staged() {
    sort_staged();
    const std::uint32_t loop_entry = value_count - 1;
    const std::size_t count = staged_.size();
    for (std::size_t i = 0; i < count; i++) {
      if (i + PREFETCH_DISTANCE < count) {
        const auto ahead_number = static_cast<std::uint32_t>(staged_[i + PREFETCH_DISTANCE] >> 32);
        const Container& ahead = laid_out.containers[ahead_number];
        const std::uint64_t at = value_position(ahead, 0, next_sample_[ahead_number]);
        __builtin_prefetch(bytes_ + (at - share_.share_start), 1);
      }
      const auto place_number = static_cast<std::uint32_t>(staged_[i] >> 32);
      const auto k = static_cast<std::uint32_t>(staged_[i]);
      const Container& place = laid_out.containers[place_number];
      const std::uint32_t s = next_sample_[place_number]++;
      if (s >= place.samples)
        report_input_changed();
      for (std::uint32_t j = 0; j < value_count; j++) {
        const unsigned char* value =
            j < loop_entry ? sources.entries[j].node->data + std::size_t{ k } * sizeof(double)
                           : sources.entries[loop_entry].node->data;
        std::memcpy(bytes_ + (value_position(place, j, s) - share_.share_start), value,
                    sizeof(double));
      }
    }
    staged_.clear();
  }

  void deliver(int owner, const ValueRecord& record) {
    if (owner == share_.rank) {
      put_value(share_, bytes_, record);
      return;
    }
    queues_[static_cast<std::size_t>(owner)].push_back(record);
    queued_++;
  }

  void queue_sample(std::uint32_t place_number, std::uint32_t k) {
    if (is_node_place(place_number))
      return;  // its values went into its nodes while counting, on every rank alike
    const Container& place = laid_out.containers[place_number];
    // Most places lie within one share: their values all go to its owner; those of this
    // rank's own share are staged until the group is done.
    const int block_first = owners_.of(place.position);
    const int block_last = owners_.of(place.position + block_size(place.samples) - 1);
    if (block_first == share_.rank && block_last == share_.rank) {
      staged_.push_back(std::uint64_t{ place_number } << 32 | k);
      return;
    }
    const std::uint32_t s = next_sample_[place_number]++;
    if (s >= place.samples)
      report_input_changed();
    const std::uint32_t loop_entry = value_count - 1;
    for (std::uint32_t j = 0; j < value_count; j++) {
      ValueRecord record;
      record.position = value_position(place, j, s);
      const unsigned char* value =
          j < loop_entry ? sources.entries[j].node->data + std::size_t{ k } * sizeof(double)
                         : sources.entries[loop_entry].node->data;
      std::memcpy(&record.bits, value, sizeof record.bits);
      if (block_first == block_last) {
        deliver(block_first, record);
        continue;
      }
      // A value across the edge of two shares goes to both; each writes its part.
      const int first = owners_.of(record.position);
      const int last = owners_.of(record.position + sizeof(double) - 1);
      for (int r = first; r <= last; r++)
        deliver(r, record);
    }
  }

  const RankShare& share_;
  unsigned char* bytes_;
  const Owners& owners_;
  std::vector<std::uint32_t> places_;  // of this rank's samples in walk order, when found before
  std::vector<std::uint32_t> group_places_;  // else of the current group's, found here
  std::vector<std::uint32_t> next_sample_;   // per place: the index its next sample takes
  std::size_t plan_;
  bool resolved_ = false;
  std::uint32_t sample_ = 0;
  std::size_t cursor_ = 0;  // the first sample of the current group in places_
  std::vector<std::vector<ValueRecord>> queues_;
  std::size_t queued_ = 0;
  std::vector<std::uint64_t> staged_;  // (place << 32 | k) of samples for this rank's share
  std::vector<std::uint64_t> sort_scratch_;
};

// Rounds of exchange: every rank sends its queues to their owners and writes what it
// receives. The buffers serve every round.
class Exchange {
 public:
  explicit Exchange(int ranks)
      : send_counts_(static_cast<std::size_t>(ranks)),
        send_starts_(static_cast<std::size_t>(ranks)),
        receive_counts_(static_cast<std::size_t>(ranks)),
        receive_starts_(static_cast<std::size_t>(ranks)) {
    MPI_Type_contiguous(sizeof(ValueRecord), MPI_BYTE, &record_type_);
    MPI_Type_commit(&record_type_);
  }
  ~Exchange() { MPI_Type_free(&record_type_); }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  void round(Producer& producer, const RankShare& share, unsigned char* bytes) {
    sending_.clear();
    for (std::size_t r = 0; r < send_counts_.size(); r++) {
      const std::vector<ValueRecord>& queue = producer.queues()[r];
      send_starts_[r] = static_cast<int>(sending_.size());
      send_counts_[r] = static_cast<int>(queue.size());
      sending_.insert(sending_.end(), queue.begin(), queue.end());
    }
    producer.clear();
    MPI_Alltoall(send_counts_.data(), 1, MPI_INT, receive_counts_.data(), 1, MPI_INT,
                 MPI_COMM_WORLD);
    std::size_t received = 0;
    for (std::size_t r = 0; r < receive_counts_.size(); r++) {
      receive_starts_[r] = static_cast<int>(received);
      received += static_cast<std::size_t>(receive_counts_[r]);
    }
    receiving_.resize(received);
    MPI_Alltoallv(sending_.data(), send_counts_.data(), send_starts_.data(), record_type_,
                  receiving_.data(), receive_counts_.data(), receive_starts_.data(), record_type_,
                  MPI_COMM_WORLD);
    for (std::size_t i = 0; i < received; i++) {
      if (i + PREFETCH_DISTANCE < received) {
        const std::uint64_t ahead = receiving_[i + PREFETCH_DISTANCE].position;
        if (ahead >= share.share_start)
          __builtin_prefetch(bytes + (ahead - share.share_start), 1);
      }
      put_value(share, bytes, receiving_[i]);
    }
  }

 private:
  MPI_Datatype record_type_;
  std::vector<int> send_counts_, send_starts_, receive_counts_, receive_starts_;
  std::vector<ValueRecord> sending_, receiving_;
};

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

RankShare share_of(int rank, int ranks, std::uint64_t alignment) {
  RankShare share{ rank,
                   ranks,
                   alignment,
                   0,
                   0,
                   share_start_of(rank, ranks, alignment),
                   share_start_of(rank + 1, ranks, alignment) };
  // A group goes to the rank in whose part of all samples its first sample falls.
  const unsigned __int128 total = total_samples();
  std::uint64_t before = 0;
  share.first_plan = laid_out.plans.size();
  share.end_plan = laid_out.plans.size();
  for (std::size_t p = 0; p < laid_out.plans.size(); p++) {
    const auto owner = static_cast<int>(before * static_cast<unsigned __int128>(ranks) / total);
    if (owner >= rank && share.first_plan == laid_out.plans.size())
      share.first_plan = p;
    if (owner > rank) {
      share.end_plan = p;
      break;
    }
    before += laid_out.plans[p].samples;
  }
  return share;
}

void fill_share(const RankShare& share, unsigned char* bytes, const char* input_name) {
  changed_input_name = input_name;
  put_headers(bytes, share.share_start, share.share_end - share.share_start, false);

  // The sample log holds the places of every group with copies, in walk order.
  laid_out.sample_log->start_reading(0);
  for (std::size_t p = 0; p < share.first_plan; p++) {
    if (!skip_sample_places(laid_out.plans[p]))
      report_input_changed();
  }
  // The samples of each place here, for the ranks after this one; the last rank has none
  // after it, and finds its samples' places as it goes.
  std::vector<std::uint32_t> places;
  std::vector<std::uint32_t> counts(laid_out.containers.size());
  if (share.rank + 1 < share.ranks) {
    std::size_t samples = 0;
    for (std::size_t p = share.first_plan; p < share.end_plan; p++)
      samples += laid_out.plans[p].samples;
    places.resize(samples);
    std::size_t cursor = 0;
    for (std::size_t p = share.first_plan; p < share.end_plan; p++) {
      const GroupPlan& plan = laid_out.plans[p];
      DataNode* group = const_cast<DataNode*>(plan.group);
      if (!resolve_group(group, false) || !plan_matches_sources(plan) ||
          !find_sample_places(plan, &places[cursor]))
        report_input_changed();
      for (std::uint32_t k = 0; k < plan.samples; k++)
        counts[places[cursor + k]]++;
      release_children(group);
      cursor += plan.samples;
    }
  }
  scan_counts(counts, share.rank);

  const Owners owners(share);
  Producer producer(share, bytes, owners, std::move(places), std::move(counts));
  Exchange exchange(share.ranks);
  for (;;) {
    const int done = producer.produce() ? 1 : 0;
    exchange.round(producer, share, bytes);
    int all_done = 0;
    MPI_Allreduce(&done, &all_done, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
    if (all_done != 0)
      break;
  }
}
