#pragma once

// What FFmpeg's own tools make of a file we wrote: ffprobe's view of its streams (frames
// counted by decoding) and everything `ffmpeg -v error` has to say while decoding it all.

#include <stdio.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace ipcam::testing {

// Standard output (and, with `withErrors`, standard error) of a shell command.
inline std::string commandOutput(const std::string& command, bool withErrors = false) {
  std::string output;
  FILE* pipe = ::popen((command + (withErrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  ::pclose(pipe);
  return output;
}

inline std::string shellQuoted(const std::filesystem::path& path) {
  std::string quoted = "'";
  for (const char c : path.string()) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// One stream as ffprobe reports it: codec_type, codec_name, codec_tag_string, width, height,
// nb_frames (the header's count), nb_read_frames (frames decoded), duration, ...
using ProbedStream = std::map<std::string, std::string>;

// Every stream of the file, in file order; empty when ffprobe cannot open it.
inline std::vector<ProbedStream> probeStreams(const std::filesystem::path& file) {
  const std::string output = commandOutput(
      "ffprobe -v error -count_frames -show_entries "
      "stream=codec_type,codec_name,codec_tag_string,width,height,nb_frames,nb_read_frames,"
      "duration,r_frame_rate,sample_rate -of default " +
      shellQuoted(file));
  std::vector<ProbedStream> streams;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == "[STREAM]") {
      streams.emplace_back();
    } else if (const auto equals = line.find('=');
               equals != std::string::npos && !streams.empty()) {
      streams.back()[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return streams;
}

// What `ffmpeg -v error` prints while decoding the whole file: empty for a clean file.
inline std::string decodeComplaints(const std::filesystem::path& file) {
  return commandOutput("ffmpeg -nostdin -v error -i " + shellQuoted(file) + " -f null -", true);
}

inline int intField(const ProbedStream& stream, const std::string& key) {
  const auto found = stream.find(key);
  if (found == stream.end()) return -1;
  try {
    return std::stoi(found->second);
  } catch (...) {
    return -1;
  }
}

inline double doubleField(const ProbedStream& stream, const std::string& key) {
  const auto found = stream.find(key);
  if (found == stream.end()) return -1;
  try {
    return std::stod(found->second);
  } catch (...) {
    return -1;
  }
}

inline std::vector<std::uint8_t> fileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The payloads of every chunk with this id in the file, found by walking the RIFF tree as a
// reader does (LIST and RIFF are entered, everything else skipped by its size).
inline std::vector<std::vector<std::uint8_t>> riffChunks(const std::vector<std::uint8_t>& bytes,
                                                         const std::string& id) {
  std::vector<std::vector<std::uint8_t>> found;
  const auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
  };
  std::size_t at = 0;
  while (at + 8 <= bytes.size()) {
    const std::string chunk(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + 4));
    const std::uint32_t size = u32(at + 4);
    if (chunk == "RIFF" || chunk == "LIST") {
      at += 12;
      continue;
    }
    if (chunk == id && at + 8 + size <= bytes.size()) {
      found.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at + 8),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + 8 + size));
    }
    at += 8 + size + (size & 1U);
  }
  return found;
}

// A recording that was finished (it carries its index, as any stopped file does) whose first
// stream FFmpeg reads as `codec` with at least one frame. Empty when so, else what is wrong.
inline std::string unfinishedOrUnreadable(const std::filesystem::path& file,
                                          const std::string& codec) {
  if (riffChunks(fileBytes(file), "idx1").empty()) return file.string() + " was left unfinished";
  const auto streams = probeStreams(file);
  if (streams.empty()) return file.string() + " has no stream FFmpeg reads";
  if (streams[0].at("codec_name") != codec) {
    return file.string() + " holds " + streams[0].at("codec_name") + ", not " + codec;
  }
  if (intField(streams[0], "nb_read_frames") < 1) return file.string() + " has no frame";
  return {};
}

}  // namespace ipcam::testing
