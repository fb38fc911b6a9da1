// Bytes written to a disk, an image or a partition as runs, each with what
// it held before, so that a write or flush that fails half way is taken
// back: the target ends as it was, or says that it could not.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// New bytes at a byte offset of the target, and the old ones they replace.
struct WriteRun {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> before, after;
};

// How a target is written. readBefore fills a run's old bytes just before
// it is written (empty: they are known already).
struct RunTarget {
    std::function<bool(WriteRun &)> readBefore;
    std::function<bool(const WriteRun &, std::span<const std::uint8_t>)> write;
    std::function<bool()> flush;
};

// Writes each run's new bytes in order, then flushes. When a step fails,
// every run begun is given its old bytes back, the last first, and flushed:
// false with the failure's errno, and torn when even that failed.
bool WriteRuns(std::span<WriteRun> runs, const RunTarget &target, bool *torn);
