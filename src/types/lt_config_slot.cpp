#include "types/lt_config_slot.h"

#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>

#include <nanobind/nanobind.h>

#include "types/record_callbacks.h"

namespace nb = nanobind;

using tavix::LanguageTranslationConfig;
using tavix::ProcessorAttributes;

namespace {

using Field = std::optional<LanguageTranslationConfig>;

struct Slot {
    LanguageTranslationConfig* storage;  // where the field's value lives
    bool holds_detached;
};

// One entry per field that has a live Python reference which was seen by a
// removal; the entry goes with that reference. Guarded by the interpreter lock.
std::unordered_map<const Field*, Slot>& slots() {
    static auto* map = new std::unordered_map<const Field*, Slot>();  // outlives every wrapper
    return *map;
}

// Ends a detached config and returns its values, for the caller to release
// once its own state is consistent (releasing the callback may run Python).
[[nodiscard]] LanguageTranslationConfig end_detached(LanguageTranslationConfig* storage) noexcept {
    LanguageTranslationConfig values(std::move(*storage));
    std::destroy_at(storage);
    return values;
}

// Runs when the Python reference into the field is deallocated, while the
// ProcessorAttributes is still alive: nanobind drops the reference's
// keep-alive link to it only after the callbacks registered later, like this
// one, have run.
void on_reference_gone(void* field) noexcept {
    auto it = slots().find(static_cast<const Field*>(field));
    if (it == slots().end()) return;
    Slot slot = it->second;
    slots().erase(it);
    if (slot.holds_detached) (void)end_detached(slot.storage);
}

// The entry for `field`, made and tied to `reference` the first time.
Slot& slot_for(const Field& field, LanguageTranslationConfig* storage, nb::handle reference) {
    auto [it, inserted] = slots().try_emplace(&field, Slot{storage, false});
    if (inserted)
        nb::keep_alive_cb(reference, const_cast<Field*>(&field), &on_reference_gone);
    return it->second;
}

}  // namespace

void store_lt_config(ProcessorAttributes& pa, const LanguageTranslationConfig& value) {
    LanguageTranslationConfig copy(value);
    give_own_callbacks(copy);
    Field& field = pa.lt_config;
    if (field) {
        // Keeps its place, so references read earlier show the new values;
        // the old values (and callback) go when `copy` does.
        std::swap(*field, copy);
        return;
    }
    // A detached config gives its storage back to the field, so the
    // reference that could reach it shows the stored config from now on.
    LanguageTranslationConfig released;  // its values go last
    auto it = slots().find(&field);
    if (it != slots().end() && it->second.holds_detached) {
        released = end_detached(it->second.storage);
        it->second.holds_detached = false;
    }
    field.emplace(std::move(copy));
}

void remove_lt_config(ProcessorAttributes& pa) {
    Field& field = pa.lt_config;
    if (!field) return;
    LanguageTranslationConfig* storage = &*field;
    nb::object reference = nb::find(*storage);
    // May allocate; done before anything changes.
    Slot* slot = reference.is_valid() ? &slot_for(field, storage, reference) : nullptr;

    LanguageTranslationConfig released(std::move(*storage));
    field.reset();
    if (slot) {
        new (storage) LanguageTranslationConfig();
        slot->holds_detached = true;
    }
}

bool is_detached_lt_config(const LanguageTranslationConfig* config) noexcept {
    // One entry per live reference that saw a removal: a handful at most.
    for (const auto& [field, slot] : slots())
        if (slot.storage == config) return slot.holds_detached;
    return false;
}
