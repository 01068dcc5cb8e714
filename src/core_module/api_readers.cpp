// read_daily_bars and read_minute_bars: the whole records of a local file, one dict each.
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "python/command.hpp"
#include "reader/bars.hpp"
#include "reader/record_file.hpp"

namespace pelmora::py {

namespace {

// One object per record of `file` made by make(raw record), in file order, in a list of exactly
// that length. The file's buffer is released by the caller after this returns.
template <class Make>
PyObject* record_list(const reader::RecordFile& file, const Make& make) {
    ListSink<Make> sink(make, file.count());
    for (size_t i = 0; i < file.count(); ++i)
        if (!sink(file.record(i))) return nullptr;
    return sink.list();
}

// A daily record with the coefficients its values are scaled by.
struct Daily {
    reader::DailyRecord r;
    double price_coeff, vol_coeff;
};

// One multiplication per value, of the exact double of the unsigned field.
PyObject* scaled_price(const Daily& d, uint32_t v) {
    return PyFloat_FromDouble(d.price_coeff * double(v));
}

struct ReadDailyBars {
    static constexpr const char* doc =
        "read_daily_bars(filepath, price_coeff=0.01, vol_coeff=0.01)\n--\n\n"
        "Read daily bars from a .day file. Returns a list of dicts.\n\n"
        "Each dict has keys: date, open, high, low, close, amount, volume.";
    PyObject* operator()(std::string_view path, double price_coeff, double vol_coeff) const {
        reader::RecordFile file;
        if (!check(reader::load_records(path, file))) return nullptr;
        static const RecordShape shape(
            field("date",
                  [](const Daily& d) {
                      return ascii_text(reader::daily_date_size(d.r.date), [&](char* out) {
                          reader::write_daily_date(d.r.date, out);
                      });
                  }),
            field("open", [](const Daily& d) { return scaled_price(d, d.r.open); }),
            field("high", [](const Daily& d) { return scaled_price(d, d.r.high); }),
            field("low", [](const Daily& d) { return scaled_price(d, d.r.low); }),
            field("close", [](const Daily& d) { return scaled_price(d, d.r.close); }),
            field("amount", [](const Daily& d) { return PyFloat_FromDouble(d.r.amount); }),
            field("volume", [](const Daily& d) {
                return PyFloat_FromDouble(d.vol_coeff * double(d.r.volume));
            }));
        return record_list(file, [&](const uint8_t* raw) {
            return shape.build(Daily{reader::decode_daily(raw), price_coeff, vol_coeff});
        });
    }
};

struct ReadMinuteBars {
    static constexpr const char* doc =
        "read_minute_bars(filepath)\n--\n\n"
        "Read minute bars from a .lc1 or .lc5 file. Returns a list of dicts.\n\n"
        "Each dict has keys: datetime, open, high, low, close, amount, volume.";
    PyObject* operator()(std::string_view path) const {
        reader::RecordFile file;
        if (!check(reader::load_records(path, file))) return nullptr;
        using R = reader::MinuteRecord;
        static const RecordShape shape(
            field("datetime",
                  [](const R& r) {
                      return ascii_text(reader::minute_datetime_size(r.time), [&](char* out) {
                          reader::write_minute_datetime(r.date, r.time, out);
                      });
                  }),
            field("open", [](const R& r) { return PyFloat_FromDouble(r.open); }),
            field("high", [](const R& r) { return PyFloat_FromDouble(r.high); }),
            field("low", [](const R& r) { return PyFloat_FromDouble(r.low); }),
            field("close", [](const R& r) { return PyFloat_FromDouble(r.close); }),
            field("amount", [](const R& r) { return PyFloat_FromDouble(r.amount); }),
            field("volume", [](const R& r) { return PyFloat_FromDouble(double(r.volume)); }));
        return record_list(
            file, [&](const uint8_t* raw) { return shape.build(reader::decode_minute(raw)); });
    }
};

}  // namespace

std::span<const PyMethodDef> reader_functions() {
    return method_defs<ReadDailyBars, ReadMinuteBars>();
}

}  // namespace pelmora::py
