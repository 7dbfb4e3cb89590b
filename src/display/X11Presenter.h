#pragma once
#include <cstdint>

#include "display/PixelConversion.h"
#include "display/VideoPresenter.h"
#include "platform/JMutex.h"
#include "platform/X11Display.h"

namespace kavro {

// The presenter on an X11 server, with a display connection of its own. Rebuilds its surfaces
// on the first picture, a new picture size, a resized window, another window, and after the
// window or the server connection was lost.
class X11Presenter : public VideoPresenter {
public:
    X11Presenter();
    ~X11Presenter() override;

    // Connects to the X server; false when there is none.
    bool Open();

    void Attach(ClientHandle* client, PresenterDrawCallback callback, void* context) override;
    bool Create(int32_t width, int32_t height, uint32_t window, bool recreateVideo) override;
    void ReleaseSurfaces(bool all) override;
    void Draw(uint32_t window, const DecodedPicture& picture) override;
    bool Present() override;
    int32_t Refresh() override;
    void SetWindow(uint32_t window) override;
    bool IsReady() const override;

    int32_t VideoFormat() const;
    bool UsesSharedMemory() const;

private:
    mutable JMutex lock_;
    X11Display display_;
    PixelConverter converter_;
    ClientHandle* client_ = nullptr;
    PresenterDrawCallback drawCallback_ = nullptr;
    void* drawContext_ = nullptr;
    uint32_t window_ = 0;
    bool ready_ = false;
    int32_t pictureWidth_ = 0, pictureHeight_ = 0;
    int32_t backWidth_ = 0, backHeight_ = 0;
    int32_t videoFormat_ = kFormatNone;
};

}  // namespace kavro
