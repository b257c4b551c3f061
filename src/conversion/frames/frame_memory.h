// Memory for the frames: buffers of one frame's size are given out again once freed, instead of
// going back to the system allocator.
#pragma once

#include <cstddef>

// From now on every matrix's memory comes through here; once the frame's size is known (below),
// each block of exactly that size that is freed is kept and given to the next image of that
// size, on whichever thread. The images in flight are a fixed few (each frame worker's, the one
// shown, the one written), so the run's memory is what those few need: freed frames no longer
// sit in each thread's own allocator cache, and a kept block's pages are not faulted in again
// for every image. Call once, before the first image is loaded and any other thread uses
// OpenCV.
void reuseFrameMemory();

// The size in bytes of the blocks kept from now on: the first image's, so that its own block,
// freed after this, is the first one kept.
void keepFreedFramesOf(std::size_t frameBytes);
