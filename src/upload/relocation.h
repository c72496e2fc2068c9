// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reset-vector relocation: the code with which the bootloader enters the
// application (EntryStub), and the jump to the bootloader patched into the
// application's reset entry in the top layout.
#include "core/boot_info.h"
#include "upload/run_state.h"

namespace quorvel {

// Builds state.EntryStub from state.ImageCopy (state.BootImageCopy for PIC32)
// and, when the bootloader sits at the top, patches the working image so that
// reset jumps to the bootloader. Reads state.BootLimit only in the top layout.
void BuildResetTrampoline(TUploadState& state, const TBootInfo& info);

// Copies state.EntryStub into the transfer buffer: at index 0 in the bottom
// layout, into the last bytes in the top layout. Copies nothing when the
// stub does not fit the buffer.
void PlaceTrampoline(const TUploadState& state, const TBootInfo& info, TByteArray& transferBuffer);

}  // namespace quorvel
