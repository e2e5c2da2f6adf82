#pragma once

#include "types/record_gc.h"
#include "tavix/AudioAttributes.h"
#include "tavix/ProcessorAttributes.h"

// The callback fields of the records that hold Tavix callbacks, for the
// garbage collector (CloudInferencingParams holds none, but its references
// report their owner). ProcessorAttributes reuses those of the records it
// contains; a detached lt_config is not its to report.
template <>
struct CallbackFields<tavix::CloudInferencingParams> {
    static int visit(const tavix::CloudInferencingParams&, visitproc, void*) { return 0; }
    static void drop(tavix::CloudInferencingParams&) {}
    static bool owned_by_reference(const tavix::CloudInferencingParams&) noexcept { return false; }
};

template <>
struct CallbackFields<tavix::AudioAttributes> {
    static int visit(const tavix::AudioAttributes& record, visitproc visit, void* arg);
    static void drop(tavix::AudioAttributes& record);
    static bool owned_by_reference(const tavix::AudioAttributes&) noexcept { return false; }
};

template <>
struct CallbackFields<tavix::LanguageTranslationConfig> {
    static int visit(const tavix::LanguageTranslationConfig& record, visitproc visit, void* arg);
    static void drop(tavix::LanguageTranslationConfig& record);
    // A detached config (see types/lt_config_slot.h) belongs to the one
    // reference that can reach it.
    static bool owned_by_reference(const tavix::LanguageTranslationConfig& record) noexcept;
};

template <>
struct CallbackFields<tavix::ProcessorAttributes> {
    static int visit(const tavix::ProcessorAttributes& record, visitproc visit, void* arg);
    static void drop(tavix::ProcessorAttributes& record);
    static bool owned_by_reference(const tavix::ProcessorAttributes&) noexcept { return false; }
};

// After a record was copied from another owner's: gives each callback of the
// copy a holder of its own (see give_own_holder). Lock held.
void give_own_callbacks(tavix::AudioAttributes& record);
void give_own_callbacks(tavix::LanguageTranslationConfig& record);
void give_own_callbacks(tavix::ProcessorAttributes& record);
