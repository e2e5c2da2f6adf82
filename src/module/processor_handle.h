#pragma once

#include "module/lifetime.h"
#include "module/returned_frames.h"
#include "module/serialized_processor.h"
#include "tavix/TavixSdk.h"
#include "types/processor_attributes.h"

// An AudioProcessor as Python holds it: closed by the exit hook if still open
// when the interpreter exits (module/lifetime.h).
class ProcessorHandle : public Handle<SerializedProcessor> {
public:
    using Handle::Handle;

    ReturnedFrames returned;
};

// Sdk.create_audio_processor: creates the processor with the interpreter lock
// released and hands it to Python as a handle.
ProcessorHandle create_audio_processor(const Handle<tavix::ITavixSdk>& sdk,
                                       const BoundProcessorAttributes& attrs);
