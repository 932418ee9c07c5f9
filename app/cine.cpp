// Cine playing: the rate a file asks for and the step from frame to frame.
#include "app/cine.h"

#include "canvas/my_cad.h"
#include "imaging/picture.h"
#include "platform/guarded.h"

#include <algorithm>
#include <cmath>

namespace kelvo {

TCine::TCine(TMyCAD& canvas) : QObject(&canvas), canvas_(&canvas) {
    // Coarse timers may slip by 5 %: a rate the file gives should be kept.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { (void)Guarded("cine", [&] { Advance(); }); });
}

double TCine::RateOf(const imaging::TPicture& picture) {
    const double rate = picture.FrameRate > 0.0 ? picture.FrameRate : kDefaultRate;
    return std::clamp(rate, kMinRate, kMaxRate);
}

bool TCine::Toggle() {
    if (Playing()) {
        Stop();
        return true;
    }
    const imaging::TPicture* picture = canvas_ != nullptr ? canvas_->Picture() : nullptr;
    if (picture == nullptr || picture->Frames() < 2) {
        return false;
    }
    playing_ = canvas_->SharedPicture();
    timer_.start(int(std::lround(1000.0 / RateOf(*picture))));
    return true;
}

void TCine::Stop() {
    timer_.stop();
    playing_.reset();
}

void TCine::Advance() {
    const imaging::TPicture* picture = canvas_ != nullptr ? canvas_->Picture() : nullptr;
    if (picture == nullptr || picture != playing_.lock().get()) {
        Stop();
        return;
    }
    const int32_t frames = picture->Frames();
    for (int32_t step = 1; step < frames; ++step) {
        if (canvas_->SetFrame((canvas_->Frame() + step) % frames)) {
            return;
        }
    }
}

} // namespace kelvo
