// Decodes a K-line body from standard input into column arrays and prints one row per line:
// datetime, open, high, low, close, vol, amount [, up_count, down_count] from the columns.
//   column_sink CATEGORY INDEX(0|1) [STOP_AFTER]
// With STOP_AFTER the sink reports a stop after that many rows; the last line then says whether
// the decoder returned false ("stopped") or not ("finished").
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "protocol/columns.hpp"

namespace proto = pelmora::proto;

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const auto category = uint16_t(std::atoi(argv[1]));
    const bool index = std::atoi(argv[2]) != 0;
    const long stop_after = argc > 3 ? std::atol(argv[3]) : -1;
    std::vector<uint8_t> body;
    for (int c; (c = std::getchar()) != EOF;) body.push_back(uint8_t(c));

    proto::ColumnSink<proto::BarRecord> columns = proto::bar_columns(index);
    columns.reserve(proto::bars_bound(body.data(), body.size(), index));
    const bool finished = proto::decode_bars(
        body.data(), body.size(), category, index, [&](const proto::BarRecord& bar) {
            return columns(bar) && long(columns.rows()) != stop_after;
        });

    const char* f64[] = {"open", "high", "low", "close", "vol", "amount"};
    for (size_t i = 0; i < columns.rows(); ++i) {
        std::printf("%lld", static_cast<long long>((*columns.i64("datetime"))[i]));
        for (const char* name : f64) std::printf(" %.17g", (*columns.f64(name))[i]);
        if (index)
            std::printf(" %lld %lld", static_cast<long long>((*columns.i64("up_count"))[i]),
                        static_cast<long long>((*columns.i64("down_count"))[i]));
        std::printf("\n");
    }
    if (stop_after >= 0) std::printf("%s\n", finished ? "finished" : "stopped");
    return 0;
}
