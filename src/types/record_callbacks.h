#pragma once

#include "callbacks/callback_record_gc.h"
#include "tavix/AudioAttributes.h"
#include "tavix/ProcessorAttributes.h"

// The callback fields of the records that hold Tavix callbacks, for the
// garbage collector. ProcessorAttributes reuses those of the records it
// contains.
template <>
struct CallbackFields<tavix::AudioAttributes> {
    static int visit(const tavix::AudioAttributes& record, visitproc visit, void* arg);
    static void drop(tavix::AudioAttributes& record);
};

template <>
struct CallbackFields<tavix::LanguageTranslationConfig> {
    static int visit(const tavix::LanguageTranslationConfig& record, visitproc visit, void* arg);
    static void drop(tavix::LanguageTranslationConfig& record);
};

template <>
struct CallbackFields<tavix::ProcessorAttributes> {
    static int visit(const tavix::ProcessorAttributes& record, visitproc visit, void* arg);
    static void drop(tavix::ProcessorAttributes& record);
};
