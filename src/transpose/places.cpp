// Finding the places of a resolved group's samples outside the fill's own walk, for programs
// that transpose a part of the groups at a time.
#include <cstring>

#include "transpose/layout.h"
#include "transpose/selection.h"
#include "transpose/sources.h"

bool plan_matches_sources(const GroupPlan& plan) {
  if (id_selection != nullptr)
    return plan.samples == selected_samples();
  return plan.samples == sources.samples && sources.longest == sources.samples &&
         (sources.id_array == nullptr || sources.id_count >= sources.samples);
}

bool find_sample_places(const GroupPlan& plan, std::uint32_t* places) {
  const std::uint32_t samples = plan.samples;
  if (plan.has_copies) {
    for (std::uint32_t k = 0; k < samples; k++) {
      const unsigned char* record = laid_out.sample_log->next(sizeof(std::uint32_t));
      if (record == nullptr)
        return false;
      std::memcpy(&places[k], record, sizeof(std::uint32_t));
    }
    key_samples(0, samples);
    return identifier_digest(0, samples) == plan.identifiers;
  }
  key_samples(0, samples);
  for (std::uint32_t k = 0; k < samples; k++) {
    if (k + PREFETCH_DISTANCE < samples)
      id_index.prefetch(sample_keys[k + PREFETCH_DISTANCE]);
    const IdIndex::Slot* slot = id_index.find(sample_keys[k]);
    if (slot == nullptr)
      return false;
    places[k] = slot->number;  // the trajectory group's place, since the count
  }
  return true;
}

bool skip_sample_places(const GroupPlan& plan) {
  if (!plan.has_copies)
    return true;
  for (std::uint32_t k = 0; k < plan.samples; k++) {
    if (laid_out.sample_log->next(sizeof(std::uint32_t)) == nullptr)
      return false;
  }
  return true;
}
