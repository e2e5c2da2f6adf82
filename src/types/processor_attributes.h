#pragma once

#include <memory>

#include "tavix/ProcessorAttributes.h"

// The Python ProcessorAttributes: the SDK's record plus what keeps references
// to its lt_config valid (see references/record_references.h). Once made, the
// config's storage stays in place for the record's life, or until the last
// reference to a detached config goes.
struct BoundProcessorAttributes : tavix::ProcessorAttributes {
    BoundProcessorAttributes() = default;
    BoundProcessorAttributes(const BoundProcessorAttributes&) = delete;
    BoundProcessorAttributes& operator=(const BoundProcessorAttributes&) = delete;
    ~BoundProcessorAttributes() {
        if (alive) *alive = nullptr;
    }

    // True while lt_config holds storage that only a reference can reach:
    // Python and the SDK see no config.
    bool lt_config_detached = false;

    // Shared with the end-of-reference callbacks, which may run after this
    // record is gone; null once it is.
    std::shared_ptr<BoundProcessorAttributes*> alive;

    // What the SDK is given: a copy, with a detached config left out.
    tavix::ProcessorAttributes for_sdk() const {
        tavix::ProcessorAttributes copy = *this;
        if (lt_config_detached) copy.lt_config.reset();
        return copy;
    }
};
