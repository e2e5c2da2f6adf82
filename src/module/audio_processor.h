#pragma once

#include "module/py_shared.h"
#include "module/serialized_processor.h"
#include "tavix/TavixSdk.h"

using ProcessorHandle = PyShared<SerializedProcessor>;

// Sdk.create_audio_processor: creates the processor with the interpreter lock
// released and hands it to Python as a shared handle.
ProcessorHandle create_audio_processor(const PyShared<tavix::ITavixSdk>& sdk,
                                       const tavix::ProcessorAttributes& attrs);
