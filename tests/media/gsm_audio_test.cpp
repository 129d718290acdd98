// The GSM 06.10 WAVE form and A-law, checked against decoders we did not write: the blocks we
// pack must decode in FFmpeg's gsm_ms decoder to exactly what libgsm makes of the camera's own
// frames.
#include "media/gsm_audio.h"

#include <gsm.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/camsim/rtsp_media.h"
#include "tools/camsim/test_media.h"

namespace ipcam {
namespace {

std::vector<std::array<std::uint8_t, kGsmFrameBytes>> toneFrames(std::size_t count) {
  camsim::ToneEncoder tone(440, 12000);
  std::vector<std::array<std::uint8_t, kGsmFrameBytes>> frames(count);
  for (auto& frame : frames) {
    const std::string bytes = tone.nextFrame();
    EXPECT_EQ(bytes.size(), kGsmFrameBytes);
    std::copy_n(bytes.begin(), kGsmFrameBytes, frame.begin());
  }
  return frames;
}

std::vector<std::int16_t> libgsmDecode(
    const std::vector<std::array<std::uint8_t, kGsmFrameBytes>>& frames) {
  gsm state = gsm_create();
  std::vector<std::int16_t> samples;
  for (auto frame : frames) {
    std::array<gsm_signal, kGsmFrameSamples> out{};
    EXPECT_EQ(gsm_decode(state, frame.data(), out.data()), 0);
    samples.insert(samples.end(), out.begin(), out.end());
  }
  gsm_destroy(state);
  return samples;
}

std::vector<std::int16_t> ffmpegGsmMsDecode(const std::vector<GsmWaveBlock>& blocks) {
  std::vector<std::int16_t> samples;
  const AVCodec* codec = avcodec_find_decoder_by_name("gsm_ms");
  if (codec == nullptr) {
    ADD_FAILURE() << "FFmpeg has no gsm_ms decoder";
    return samples;
  }
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->sample_rate = 8000;
  av_channel_layout_default(&context->ch_layout, 1);
  context->block_align = static_cast<int>(kGsmWaveBlockBytes);
  EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  for (const GsmWaveBlock& block : blocks) {
    EXPECT_EQ(av_new_packet(packet, static_cast<int>(block.size())), 0);
    std::copy(block.begin(), block.end(), packet->data);
    EXPECT_EQ(avcodec_send_packet(context, packet), 0);
    av_packet_unref(packet);
    while (avcodec_receive_frame(context, frame) == 0) {
      EXPECT_EQ(frame->format, AV_SAMPLE_FMT_S16);
      const auto* data = reinterpret_cast<const std::int16_t*>(frame->data[0]);
      samples.insert(samples.end(), data, data + frame->nb_samples);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return samples;
}

TEST(GsmWaveBlock, DecodesInFfmpegExactlyAsLibgsmDecodesTheCameraFrames) {
  const auto frames = toneFrames(50);  // one second of tone, 25 blocks
  GsmBlockAssembler assembler;
  std::vector<GsmWaveBlock> blocks;
  for (auto frame : frames) {
    repackGsmFrame(frame);
    EXPECT_EQ(frame[kGsmFrameBytes - 1] & 0xF0, 0)
        << "the upper half of byte 32 belongs to the next frame";
    if (auto block = assembler.add(frame)) blocks.push_back(*block);
  }
  ASSERT_EQ(blocks.size(), 25u);
  EXPECT_EQ(assembler.fill(), 0u);

  const std::vector<std::int16_t> expected = libgsmDecode(frames);
  const std::vector<std::int16_t> decoded = ffmpegGsmMsDecode(blocks);
  ASSERT_EQ(decoded.size(), expected.size());
  EXPECT_TRUE(decoded == expected);
  // Not silence either: a tone that survived both packings.
  EXPECT_GT(*std::max_element(decoded.begin(), decoded.end()), 4000);
}

TEST(GsmWaveBlock, RestartDropsTheHalfBlock) {
  const auto frames = toneFrames(3);
  auto repacked = frames;
  for (auto& frame : repacked) repackGsmFrame(frame);
  GsmBlockAssembler fresh;
  fresh.add(repacked[1]);
  const GsmWaveBlock expected = *fresh.add(repacked[2]);

  GsmBlockAssembler assembler;
  EXPECT_FALSE(assembler.add(repacked[0]));
  assembler.restart();
  EXPECT_FALSE(assembler.add(repacked[1]));
  const auto block = assembler.add(repacked[2]);
  ASSERT_TRUE(block);
  EXPECT_EQ(*block, expected);
}

TEST(GsmDecoder, RefusedFrameRepeatsThePreviousSamples) {
  auto frames = toneFrames(2);
  GsmDecoder decoder;
  ASSERT_TRUE(decoder.valid());
  ASSERT_TRUE(decoder.decode(frames[0]));
  const std::vector<std::int16_t> first(decoder.samples().begin(), decoder.samples().end());
  frames[1][0] = 0x00;  // no 0xD signature
  EXPECT_FALSE(decoder.decode(frames[1]));
  EXPECT_TRUE(std::equal(first.begin(), first.end(), decoder.samples().begin()));
}

TEST(Alaw, KnownValuesAndSymmetry) {
  struct Case {
    std::uint8_t alaw;
    std::int16_t linear;
  };
  for (const Case c : {Case{0xD5, 8}, Case{0x55, -8}, Case{0xD4, 24}, Case{0xAA, 32256},
                       Case{0x2A, -32256}, Case{0x80, 5504}, Case{0x00, -5504}, Case{0xC5, 264}}) {
    EXPECT_EQ(alawToLinear(c.alaw), c.linear) << std::hex << int(c.alaw);
  }
  for (int code = 0; code < 128; ++code) {
    EXPECT_EQ(alawToLinear(static_cast<std::uint8_t>(code | 0x80)),
              -alawToLinear(static_cast<std::uint8_t>(code)));
  }
  // The encoder camsim sends with must come back close to what it was given.
  for (const std::int16_t sample : {0, 100, -100, 1000, -5000, 20000, -32768, 32767}) {
    const int back = alawToLinear(camsim::alawFromLinear(sample));
    EXPECT_NEAR(back, sample, std::max(16, std::abs(sample) / 16)) << sample;
  }
}

}  // namespace
}  // namespace ipcam
