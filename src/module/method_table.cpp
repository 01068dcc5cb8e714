// Names, entry points and docstrings of every callable; the docstrings start with the text
// signature that CPython turns into __text_signature__.
#include "module/methods.hpp"

namespace pelmora::py {

namespace {

#define PELMORA_ENTRY(name, fn, doc)                                           \
    {                                                                          \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), \
            METH_FASTCALL | METH_KEYWORDS, doc                                 \
    }

#define MARKET_DOC "market: 0 = Shenzhen (深圳), 1 = Shanghai (上海)\n"
#define DATE_DOC "date: YYYYMMDD format integer, e.g. 20260101"

PyMethodDef kClientMethods[] = {
    PELMORA_ENTRY("connect", client_connect, "connect($self, ip, port)\n--\n\n"),
    PELMORA_ENTRY("get_security_count", client_get_security_count,
                  "get_security_count($self, market)\n--\n\n"
                  "Get the total number of securities for a given market.\n" MARKET_DOC
                  "Returns the total count of securities."),
    PELMORA_ENTRY(
        "get_security_list", client_get_security_list,
        "get_security_list($self, market, start)\n--\n\n"
        "Get a batch of securities for a given market, starting from `start`.\n" MARKET_DOC
        "start: offset (typically 0, 1000, 2000, ...)\n"
        "Returns a list of dicts with keys: code, name, volunit, decimal_point, pre_close."),
    PELMORA_ENTRY("get_security_bars", client_get_security_bars,
                  "get_security_bars($self, category, market, code, start, count)\n--\n\n"
                  "category: 0..11, market: 0/1, code: \"600036\", start: offset, count: num"),
    PELMORA_ENTRY("get_index_bars", client_get_index_bars,
                  "get_index_bars($self, category, market, code, start, count)\n--\n\n"
                  "Get index K-line bars. Same protocol as security bars (0x052D) but response\n"
                  "includes up_count/down_count fields (number of advancing/declining stocks)."),
    PELMORA_ENTRY("get_minute_time_data", client_get_minute_time_data,
                  "get_minute_time_data($self, market, code)\n--\n\n"
                  "Get intraday minute-by-minute price/volume data for today.\n"
                  "Returns list of dicts with keys: price, vol."),
    PELMORA_ENTRY("get_history_minute_time_data", client_get_history_minute_time_data,
                  "get_history_minute_time_data($self, market, code, date)\n--\n\n"
                  "Get minute-by-minute price/volume data for a historical date.\n" DATE_DOC),
    PELMORA_ENTRY("get_transaction_data", client_get_transaction_data,
                  "get_transaction_data($self, market, code, start, count)\n--\n\n"),
    PELMORA_ENTRY("get_history_transaction_data", client_get_history_transaction_data,
                  "get_history_transaction_data($self, market, code, start, count, date)\n--\n\n"
                  "Get tick-level transaction data for a historical date.\n" DATE_DOC),
    PELMORA_ENTRY("get_security_quotes", client_get_security_quotes,
                  "get_security_quotes($self, stock_list)\n--\n\n"),
    PELMORA_ENTRY("get_xdxr_info", client_get_xdxr_info,
                  "get_xdxr_info($self, market, code)\n--\n\n"),
    PELMORA_ENTRY("get_finance_info", client_get_finance_info,
                  "get_finance_info($self, market, code)\n--\n\n"),
    PELMORA_ENTRY("get_company_info_category", client_get_company_info_category,
                  "get_company_info_category($self, market, code)\n--\n\n"),
    PELMORA_ENTRY("get_company_info_content", client_get_company_info_content,
                  "get_company_info_content($self, market, code, filename, start, length)\n--\n\n"),
    PELMORA_ENTRY("get_block_info_meta", client_get_block_info_meta,
                  "get_block_info_meta($self, block_file)\n--\n\n"
                  "Get block file metadata (size, hash).\n"
                  "block_file: e.g. \"block_zs.dat\", \"block_gn.dat\", \"block_fg.dat\""),
    PELMORA_ENTRY("get_block_info", client_get_block_info,
                  "get_block_info($self, block_file, start, size)\n--\n\n"
                  "Get block file data chunk.\n"
                  "block_file: e.g. \"block_zs.dat\"\n"
                  "start: byte offset\n"
                  "size: file total size\n"
                  "Returns raw bytes (skip first 4 bytes of response body)."),
    PELMORA_ENTRY("get_report_file", client_get_report_file,
                  "get_report_file($self, filename, offset)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kModuleFunctions[] = {
    PELMORA_ENTRY("read_daily_bars", read_daily_bars,
                  "read_daily_bars(filepath, price_coeff=0.01, vol_coeff=0.01)\n--\n\n"
                  "Read daily bars from a .day file. Returns a list of dicts.\n\n"
                  "Each dict has keys: date, open, high, low, close, amount, volume."),
    PELMORA_ENTRY("read_minute_bars", read_minute_bars,
                  "read_minute_bars(filepath)\n--\n\n"
                  "Read minute bars from a .lc1 or .lc5 file. Returns a list of dicts.\n\n"
                  "Each dict has keys: datetime, open, high, low, close, amount, volume."),
    PELMORA_ENTRY("ping_servers", ping_servers,
                  "ping_servers(servers)\n--\n\n"
                  "Ping multiple TDX HQ servers concurrently and return their response latencies.\n"
                  "Returns a list of tuples (ip, port, latency_ms). If a server fails, latency is "
                  "returned as 9999."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* client_methods() {
    return kClientMethods;
}
PyMethodDef* module_functions() {
    return kModuleFunctions;
}

}  // namespace pelmora::py
