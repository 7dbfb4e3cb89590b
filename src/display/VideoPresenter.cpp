#include "display/VideoPresenter.h"

#include "display/X11Presenter.h"

namespace kavro {

std::unique_ptr<VideoPresenter> MakeVideoPresenter() {
    std::unique_ptr<X11Presenter> x11(new X11Presenter);
    if (x11->Open()) return x11;
    return std::unique_ptr<VideoPresenter>(new NullPresenter);
}

}  // namespace kavro
