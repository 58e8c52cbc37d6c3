#include "Progress.h"

#include <algorithm>

namespace xr9tool {

namespace {

constexpr int kWidth = 30;

int percentOf(uint64_t done, uint64_t total) {
    if (total == 0) return 100;
    return static_cast<int>(std::min<uint64_t>(done, total) * 100 / total);
}

}  // namespace

Progress::Progress(std::string label, uint64_t total, FILE* out, bool interactive)
    : label_(std::move(label)), total_(total), out_(out), interactive_(interactive) {}

std::string Progress::bar(uint64_t done) const {
    const int percent = percentOf(done, total_);
    const int filled = percent * kWidth / 100;
    std::string text = label_ + " [";
    text += std::string(static_cast<size_t>(filled), '#');
    text += std::string(static_cast<size_t>(kWidth - filled), '.');
    text += "] " + std::to_string(percent) + "%";
    return text;
}

void Progress::update(uint64_t done) {
    const int percent = percentOf(done, total_);
    if (interactive_) {
        if (percent == lastDrawn_) return;
        lastDrawn_ = percent;
        std::fprintf(out_, "\r%s", bar(done).c_str());
    } else {
        const int quarter = percent / 25;
        if (quarter == lastDrawn_) return;
        lastDrawn_ = quarter;
        std::fprintf(out_, "%s: %d%% (%llu of %llu bytes)\n", label_.c_str(), quarter * 25,
                     static_cast<unsigned long long>(std::min(done, total_)), static_cast<unsigned long long>(total_));
    }
    std::fflush(out_);
}

void Progress::finish() {
    if (finished_) return;
    finished_ = true;
    update(total_);
    if (interactive_) std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace xr9tool
