#pragma once
// What a scrape of the metrics endpoint shows: every family with HELP and TYPE, its series, and
// the function each value is read from at scrape time.
#include <prometheus/metric_family.h>

#include <vector>

// Families without any series (their counters not wired in this build) are left out.
std::vector<prometheus::MetricFamily> CollectMetrics();
