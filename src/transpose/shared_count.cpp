// Counting in parts: the groups planned without their identifiers, each part's trajectories
// counted on its own, and the parts' counts merged in walk order, for programs that count a
// run of the groups per process.
#include <algorithm>

#include "base/progress.h"
#include "base/report.h"
#include "transpose/copies.h"
#include "transpose/count.h"
#include "transpose/layout.h"
#include "transpose/selection.h"
#include "transpose/sources.h"

namespace {

// Planning the groups for counts made elsewhere: true until a group is met that only a
// count in walk order can lay out.
bool counted_elsewhere = false;
std::uint64_t samples_planned = 0;

// The count's visit without the identifiers: its plan, and the failures count_group meets,
// in its order. A group with copies, and one after which some trajectory could have reached
// the size limit, end the planning: the count will be made in walk order.
int plan_group(DataNode* group, std::uint32_t) {
  if (!counted_elsewhere)
    return 0;
  if (!resolve_group(group, false)) {
    show_walk_progress(group, false);
    return 0;
  }
  const std::uint32_t samples = sources.samples;
  if ((samples_planned + samples) * largest_share > MAX_VALUES) {
    counted_elsewhere = false;
    return 0;
  }
  samples_planned += samples;
  for (const DataNode* enclosing = group; enclosing != nullptr; enclosing = enclosing->parent) {
    if (is_copied(enclosing)) {
      counted_elsewhere = false;
      return 0;
    }
  }
  laid_out.plans.push_back(GroupPlan{ group, samples, false });
  if (sources.id_array != nullptr && sources.id_count < samples)
    error_exit("ID array shorter than data arrays\n");
  if (sources.longest > samples)
    error_exit("Not all arrays terminate at length %d\n", static_cast<int>(samples));
  show_walk_progress(group, true);
  return 0;
}

}  // namespace

bool plan_all_groups(DataNode* root, const LayoutSettings& settings) {
  if (!start_count(settings))
    return false;
  laid_out.sample_log =
      std::make_unique<SpillBuckets>(1, SAMPLE_LOG_BUFFER, laid_out.settings.scratch_directory);
  counted_elsewhere = true;
  samples_planned = 0;
  // A requested array named "" meets the end marker of every trajectory group; selected
  // identifiers are known only once the identifiers are read.
  for (const char* name : laid_out.array_names)
    counted_elsewhere = counted_elsewhere && name[0] != '\0';
  counted_elsewhere = counted_elsewhere && id_selection == nullptr;
  if (counted_elsewhere) {
    // Should the groups have to be counted in walk order after all, that count meets the
    // groups' values as they were: the planning converted those it looked up.
    keep_group_values(true);
    start_walk_progress("counting", root);
    walk_groups(root, plan_group, 0);
    end_progress();
    if (!counted_elsewhere)
      put_back_group_values();
    keep_group_values(false);
  }
  return counted_elsewhere;
}

void count_plans(std::size_t first_plan, std::size_t end_plan, std::vector<CountedTrack>* counted) {
  IdIndex own_index;
  counted->clear();
  for (std::size_t p = first_plan; p < end_plan; p++) {
    const GroupPlan& plan = laid_out.plans[p];
    DataNode* group = const_cast<DataNode*>(plan.group);
    if (!resolve_group(group, false) || !plan_matches_sources(plan))
      report_error(error_table, ERR_INPUT_CHANGED, laid_out.settings.input_name);
    take_samples(0, plan.samples, false);
    key_samples(0, plan.samples);
    for (std::uint32_t k = 0; k < plan.samples; k++) {
      if (k + PREFETCH_DISTANCE < plan.samples)
        own_index.prefetch(sample_keys[k + PREFETCH_DISTANCE]);
      bool added = false;
      IdIndex::Slot* slot = own_index.find_or_add(
          sample_keys[k], static_cast<std::uint32_t>(counted->size()), &added, plan.samples - k);
      if (added)
        counted->push_back(CountedTrack{ sample_keys[k], id_of_sample(k), 0 });
      slot->samples++;
    }
    for (DataNode* child = group->first_child; child != nullptr; child = child->next)
      release_data(child);
  }
  for (const IdIndex::Slot& slot : own_index) {
    if (slot.number != NO_TRAJECTORY)
      (*counted)[slot.number].samples = slot.samples;
  }
}

void merge_counts(const CountedTrack* counted, std::size_t count) {
  for (std::size_t t = 0; t < count; t++) {
    bool added = false;
    IdIndex::Slot* slot = id_index.find_or_add(
        counted[t].key, static_cast<std::uint32_t>(laid_out.tracks.size()), &added, count - t);
    if (added) {
      const std::uint32_t root = new_container(NO_CONTAINER);
      laid_out.tracks.push_back(Track{ counted[t].id, 0, root, NO_CONTAINER });
    }
    slot->samples += static_cast<std::uint32_t>(counted[t].samples);
  }
  for (IdIndex::Slot& slot : id_index) {
    if (slot.number == NO_TRAJECTORY)
      continue;
    slot.number = laid_out.tracks[slot.number].container;
    laid_out.containers[slot.number].samples = slot.samples;
  }
  finish_count();
}
