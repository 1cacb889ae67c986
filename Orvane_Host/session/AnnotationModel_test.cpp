#include "Orvane_Host/session/AnnotationModel.h"

#include <gtest/gtest.h>

#include <string>

using namespace orvane;

namespace {

AnnotationStroke stroke(float x) {
    return {Uuid::random(), {x, x, 0.5f, 0.5f}, {1, 0, 0}, 0.01f};
}

}  // namespace

// Each step is 's' (a stroke event), 'c' (a clear event) or 'C' (clearAnnotations from the menu).
TEST(AnnotationModel, StrokesAccumulateOldestFirstAndClearsNotifyOnlyWhenSomethingGoes) {
    struct Case {
        std::string steps;
        std::size_t strokes;
        int notifications;
    } cases[] = {
        {"", 0, 0},  {"sss", 3, 3}, {"ssc", 0, 3}, {"ssC", 0, 3},
        {"c", 0, 0}, {"sCC", 0, 2}, {"scs", 1, 3},
    };
    for (const auto& c : cases) {
        AnnotationModel m;
        int notified = 0;
        auto conn = m.changed().connect([&](const auto&) { ++notified; });
        std::vector<AnnotationStroke> sent;
        for (char step : c.steps) {
            if (step == 's') {
                sent.push_back(stroke(0.1f * static_cast<float>(sent.size())));
                m.apply(AnnotationEvent::Stroke{sent.back()});
            } else {
                sent.clear();
                if (step == 'c')
                    m.apply(AnnotationEvent::Clear{});
                else
                    m.clear();
            }
        }
        EXPECT_EQ(m.strokes().size(), c.strokes) << c.steps;
        EXPECT_EQ(m.strokes(), sent) << c.steps;
        EXPECT_EQ(notified, c.notifications) << c.steps;
    }
}
