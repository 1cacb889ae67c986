#include "OrvaneKit/media/ffmpeg/SessionRecorder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "OrvaneKit/media/testing/EncodedStreams.h"

namespace orvane {
namespace {

struct TempDir {
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "recorder-XXXXXX").string();
        root = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    const std::filesystem::path& path() const { return root; }
    std::filesystem::path root;
};

std::string runCapture(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    pclose(pipe);
    return out;
}

bool haveFfprobe() {
    return system("ffprobe -version >/dev/null 2>&1") == 0;
}

// key=value lines of ffprobe's stream section.
std::map<std::string, std::string> probe(const std::filesystem::path& file) {
    std::istringstream in(
        runCapture("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                   "stream=codec_name,codec_tag_string,width,height,nb_read_frames,duration -of "
                   "default=noprint_wrappers=1 " +
                   file.string()));
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos)
            fields[line.substr(0, eq)] = line.substr(eq + 1);
    return fields;
}

// Samples as the receiver hands them on, with the stream's times in microseconds.
std::vector<CompressedSample> samplesOf(const std::vector<VideoPacket>& packets) {
    VideoDepacketizer d;
    std::vector<CompressedSample> out;
    for (const auto& p : packets)
        if (auto s = d.sampleBuffer(p)) out.push_back(*s);
    return out;
}

class SessionRecorderWrites : public ::testing::TestWithParam<VideoCodec> {};

TEST_P(SessionRecorderWrites, FromFirstSyncSampleWithRisingTimes) {
    if (!haveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
    const VideoCodec codec = GetParam();
    auto samples = samplesOf(encodeGreyStream(codec, 320, 240, 30, 30, {4}));
    ASSERT_EQ(samples.size(), 30u);
    TempDir dir;
    const auto file = dir.path() / "nested" / "take.mov";
    SessionRecorder recorder(file);
    // Three deltas first: recording starts at the keyframe after them.
    for (int i = 1; i < 4; ++i) recorder.append(samples[size_t(i)]);
    // A re-coded keyframe that keeps its frame's time, and one that goes back in time.
    samples[10].ptsMicros = samples[9].ptsMicros;
    samples[20].ptsMicros = samples[18].ptsMicros;
    for (size_t i = 4; i < samples.size(); ++i) recorder.append(samples[i]);
    // A sync sample of another size is left out, as is all that follows it.
    auto other = samplesOf(encodeGreyStream(codec, 160, 120, 2, 30, {}));
    for (auto s : other) {
        s.ptsMicros += samples.back().ptsMicros;
        recorder.append(s);
    }
    EXPECT_EQ(recorder.samplesSeen(), 4);
    ASSERT_EQ(recorder.finish(), file);
    EXPECT_EQ(recorder.lastError(), std::nullopt);

    auto fields = probe(file);
    EXPECT_EQ(fields["codec_name"], codec == VideoCodec::hevc ? "hevc" : "h264");
    EXPECT_EQ(fields["codec_tag_string"], codec == VideoCodec::hevc ? "hvc1" : "avc1");
    EXPECT_EQ(fields["width"], "320");
    EXPECT_EQ(fields["height"], "240");
    EXPECT_EQ(fields["nb_read_frames"], "26");
    // Frames 4..29 at 30 fps: last - first is 25 frame times, plus the last frame's own.
    double duration = std::stod(fields["duration"].empty() ? "0" : fields["duration"]);
    EXPECT_NEAR(duration, 26.0 / 30, 1.5 / 30);
}

INSTANTIATE_TEST_SUITE_P(Codecs, SessionRecorderWrites,
                         ::testing::Values(VideoCodec::h264, VideoCodec::hevc),
                         [](const auto& info) { return std::string(videoCodecName(info.param)); });

TEST(SessionRecorder, NoSyncSampleLeavesNoFile) {
    auto samples = samplesOf(encodeGreyStream(VideoCodec::h264, 64, 64, 3, 30, {}));
    TempDir dir;
    const auto file = dir.path() / "none.mov";
    SessionRecorder recorder(file);
    recorder.append(samples[1]);
    recorder.append(samples[2]);
    EXPECT_EQ(recorder.finish(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(file));
    // After finishing a sync sample is counted, and ignored.
    recorder.append(samples[0]);
    EXPECT_EQ(recorder.samplesSeen(), 3);
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(SessionRecorder, ErrorsSayWhatFailed) {
    EXPECT_STREQ(RecorderError::cannotAddTrack(videoCodecType(VideoCodec::h264)).what(),
                 "the movie writer can't take this video format (1635148593)");
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "taken.mov");  // a folder in the way
    EXPECT_THROW(SessionRecorder(dir.path() / "taken.mov"), RecorderError);
}

}  // namespace
}  // namespace orvane
