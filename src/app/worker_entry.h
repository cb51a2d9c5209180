// The guard of the workers' thread entries.
#pragma once

#include "app/ids.h"
#include "ui/toolkit.h"

namespace zefo {

// Runs a worker's body at its thread entry. Nothing may unwind out of a thread
// entry; after an unexpected exception (out of memory or the like) the action
// button comes back so that the user can try again.
template <class Body>
void RunWorkerBody(Body&& body) {
    try {
        body();
    } catch (...) {
        try {
            ui::UI().DisableGadget(actionButton, 0);
        } catch (...) {
        }
    }
}

}  // namespace zefo
