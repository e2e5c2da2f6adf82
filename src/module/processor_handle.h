#pragma once

#include <memory>

#include "module/py_shared.h"
#include "module/serialized_processor.h"
#include "tavix/TavixSdk.h"
#include "types/processor_attributes.h"

// An AudioProcessor as Python holds it. Every handle is linked into one list
// (changed only with the interpreter lock held), so that the exit hook can
// close the processors still open when the interpreter exits.
class ProcessorHandle : public PyShared<SerializedProcessor> {
public:
    explicit ProcessorHandle(std::shared_ptr<SerializedProcessor> processor) noexcept;
    ProcessorHandle(ProcessorHandle&& other) noexcept;
    ~ProcessorHandle();

    // Closes every open processor without waiting for the teardowns.
    static void close_all_in_background() noexcept;

private:
    void link() noexcept;
    ProcessorHandle* prev_ = nullptr;
    ProcessorHandle* next_ = nullptr;
};

// Sdk.create_audio_processor: creates the processor with the interpreter lock
// released and hands it to Python as a handle.
ProcessorHandle create_audio_processor(const PyShared<tavix::ITavixSdk>& sdk,
                                       const BoundProcessorAttributes& attrs);
