// The command bar's table and its proportional geometry.
#pragma once

#include <cstdint>
#include <span>

struct ControlBarEntry {
    std::int32_t weight; // share of the bar's width
    char caption[32];
    std::uint32_t commandId; // also the control's child-window identifier
    char className[32];
    std::uint32_t style; // OR-ed with WS_CHILD | WS_VISIBLE
    std::int32_t checkState; // sent to "Button" controls
    char tooltip[40]; // empty: the caption is the tooltip
};

inline constexpr int kBarHeight = 26;
inline constexpr int kBarEntryCount = 6;

extern const ControlBarEntry kControlBar[kBarEntryCount];

struct BarRect {
    int left;
    int top;
    int right;
    int bottom;
};

// Places each entry in table order across the band [top, bottom) of a client
// area starting at clientLeft and clientWidth wide; out has one rectangle per
// entry. Widths are truncated shares, so a few pixels may stay free on the right.
void LayoutBar(std::span<const ControlBarEntry> entries, int clientLeft, int clientWidth, int top, int bottom,
               std::span<BarRect> out);
