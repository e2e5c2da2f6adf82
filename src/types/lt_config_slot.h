#pragma once

#include "tavix/ProcessorAttributes.h"

// ProcessorAttributes::lt_config as Python changes it.
//
// Python may hold a reference (read from ProcessorAttributes.lt_config) into
// the optional's storage. Removing the config must not leave that reference
// pointing at a destroyed object, yet the field has to be empty for the SDK.
// So when a reference is alive, removal destroys the config and builds a
// default one in the same storage, with the optional left empty: a detached
// config that only the reference can reach. It is destroyed when the
// reference goes, or when a config is stored again; the stored config takes
// the same place, so the reference then shows it.
//
// All of this runs with the interpreter lock held.

// pa.lt_config = value (a copy of it).
void store_lt_config(tavix::ProcessorAttributes& pa, const tavix::LanguageTranslationConfig& value);

// pa.lt_config = None.
void remove_lt_config(tavix::ProcessorAttributes& pa);

// True if `config` is a detached config.
bool is_detached_lt_config(const tavix::LanguageTranslationConfig* config) noexcept;
