#include "frame_memory.h"

#include <opencv2/core.hpp>

#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

// OpenCV's own allocator for every matrix, but for the blocks of one size, which it keeps.
class FrameMemory final : public cv::MatAllocator {
public:
    void keepBlocksOf(std::size_t frameBytes) {
        std::lock_guard<std::mutex> lock(keptLock_);
        frameBytes_ = frameBytes;
    }

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, std::size_t* step,
                           cv::AccessFlag, cv::UMatUsageFlags) const override {
        const std::size_t bytes = blockBytes(dims, sizes, type, data, step);
        auto block = std::make_unique<cv::UMatData>(this);
        if (data) {
            block->flags |= cv::UMatData::USER_ALLOCATED;
        } else {
            data = takeKept(bytes);
            if (!data) data = cv::fastMalloc(bytes);  // raises, as OpenCV's own, when out of memory
        }
        block->data = block->origdata = static_cast<uchar*>(data);
        block->size = bytes;
        return block.release();
    }

    bool allocate(cv::UMatData* block, cv::AccessFlag, cv::UMatUsageFlags) const override {
        return block != nullptr;
    }

    void deallocate(cv::UMatData* block) const override {
        if (!block) return;
        if (!(block->flags & cv::UMatData::USER_ALLOCATED) && !keep(block)) {
            cv::fastFree(block->origdata);
        }
        delete block;
    }

private:
    // The block's size in bytes, with the steps of a continuous matrix where none are given.
    static std::size_t blockBytes(int dims, const int* sizes, int type, const void* data,
                                  std::size_t* step) {
        std::size_t bytes = CV_ELEM_SIZE(type);
        for (int dimension = dims - 1; dimension >= 0; --dimension) {
            if (step) {
                if (data && step[dimension] != cv::Mat::AUTO_STEP) {
                    CV_Assert(bytes <= step[dimension]);
                    bytes = step[dimension];
                } else {
                    step[dimension] = bytes;
                }
            }
            bytes *= static_cast<std::size_t>(sizes[dimension]);
        }
        return bytes;
    }

    void* takeKept(std::size_t bytes) const {
        std::lock_guard<std::mutex> lock(keptLock_);
        if (bytes != frameBytes_ || kept_.empty()) return nullptr;
        void* block = kept_.back();
        kept_.pop_back();
        return block;
    }

    // Kept blocks are never more than were ever in use at once: one is made only where none is
    // kept.
    bool keep(const cv::UMatData* block) const {
        std::lock_guard<std::mutex> lock(keptLock_);
        if (block->size != frameBytes_) return false;
        try {
            kept_.push_back(block->origdata);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    mutable std::mutex keptLock_;
    std::size_t frameBytes_ = 0;  // none kept until it is known
    mutable std::vector<void*> kept_;
};

// Never destroyed: a matrix freed during the process's exit still comes back to it.
FrameMemory* const frameMemory = new FrameMemory;

}  // namespace

void reuseFrameMemory() {
    cv::Mat::setDefaultAllocator(frameMemory);
}

void keepFreedFramesOf(std::size_t frameBytes) {
    frameMemory->keepBlocksOf(frameBytes);
}
