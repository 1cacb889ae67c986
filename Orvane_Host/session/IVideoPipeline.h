#pragma once

namespace orvane {

// One display's capture-and-encode pipeline, as a viewer's connection sees it.
class IVideoPipeline {
public:
    virtual ~IVideoPipeline() = default;
    // The encoder makes its next frame a keyframe; callable from any thread.
    virtual void requestKeyframe() = 0;
};

}  // namespace orvane
