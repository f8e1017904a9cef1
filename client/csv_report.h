// The intervals of a measurement as CSV (UTF-8, LF line ends, a header row):
// one row per interval, in the order they were handed over.
//
//   run,pattern,protocol,start_s,end_s,bytes_received,bytes_sent,lost,
//   throughput_total_bytes_per_s,rtt_p50_us,rtt_p99_us
//
// Times are the interval's bounds in seconds from the start of its run's data
// phase (three decimals, the milliseconds they are measured in); the byte
// counts are exact, so a run's rows add up to its report's totals. lost is
// the requests whose chunk did not come in time (UDP with a receive timeout;
// empty otherwise). The throughput is the interval's bytes in both directions over its length, as
// the report's トータルスループット computes it (a length of 0 counting as
// 1 s), with two decimals. The round-trip percentiles are microseconds with
// three decimals, empty when no round trip completed in the interval.
#pragma once

#include <string>

#include "client/measure_data.h"

namespace quarvent {

// The header row, with its line end.
std::string CsvHeader();
// One interval's row, with its line end.
std::string CsvRow(const IntervalData& interval);

}  // namespace quarvent
