// The agent's shared state as metrics: the Prometheus text exposition format (version 0.0.4) or
// OpenMetrics 1.0 text, built from relaxed loads of the GlobalArea and its NicAreas only, so that
// building it never holds up a capture thread.
//
// Families: the GlobalArea totals (split by sender: this machine or other stations), the frame
// sequence, day changes, the traffic state and the age of the last frame from another station; per
// adapter (label `adapter`) frames, group frames, events by kind, stations in the table and kernel
// drops; health (adapters open, RPC calls and refused keys, history write failures, start time); and
// the station table's top talkers by bytes, at most `top_stations` of them, so that the number of
// series stays bounded whatever the LAN holds.
#pragma once

#include <cstdint>
#include <string>

#include "state/shared_state.h"

namespace netward {

enum class ExpositionFormat { kPrometheusText, kOpenMetrics };

inline constexpr char kPrometheusTextContentType[] = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr char kOpenMetricsContentType[] = "application/openmetrics-text; version=1.0.0; charset=utf-8";

inline constexpr uint32_t kDefaultTopStations = 20;
inline constexpr uint32_t kMaxTopStations = kMaxStations;

// OpenMetrics when the request's Accept header (may be null) names application/openmetrics-text,
// as a scraping Prometheus does; the 0.0.4 text format otherwise.
ExpositionFormat FormatForAccept(const char* accept);
const char* ContentTypeOf(ExpositionFormat format);

struct ExpositionInput {
  const GlobalArea* global = nullptr;
  uint32_t now = 0;  // seconds since 1970, from the agent's clock
  uint32_t top_stations = kDefaultTopStations;
};

// Replaces `out` with the whole exposition.
void WriteExposition(const ExpositionInput& in, ExpositionFormat format, std::string& out);

// A label value as the formats need it: valid UTF-8 (stored 8-bit texts are read as Latin-1;
// control characters become '?') with backslash, double quote and line feed escaped.
void AppendLabelValue(const char* text, std::string& out);

}  // namespace netward
