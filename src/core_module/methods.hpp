// Entry points of the module. Each family file api_*.cpp declares its callables (one struct
// each, see module/command.hpp) and hands out their method definitions in table order.
#pragma once

#include <Python.h>

#include <span>

namespace pelmora::py {

#define PELMORA_MARKET_DOC "market: 0 = Shenzhen (深圳), 1 = Shanghai (上海)\n"
#define PELMORA_DATE_DOC "date: YYYYMMDD format integer, e.g. 20260101"

// TdxClient methods, in this order.
std::span<const PyMethodDef> connection_methods();   // api_connection.cpp
std::span<const PyMethodDef> security_methods();     // api_security.cpp
std::span<const PyMethodDef> bar_methods();          // api_bars.cpp
std::span<const PyMethodDef> minute_methods();       // api_minute.cpp
std::span<const PyMethodDef> transaction_methods();  // api_transactions.cpp
std::span<const PyMethodDef> quote_methods();        // api_quotes.cpp
std::span<const PyMethodDef> xdxr_methods();         // api_xdxr.cpp
std::span<const PyMethodDef> finance_methods();      // api_finance.cpp
std::span<const PyMethodDef> company_methods();      // api_company.cpp
std::span<const PyMethodDef> server_file_methods();  // api_server_files.cpp
// Module functions, in this order.
std::span<const PyMethodDef> reader_functions();  // api_readers.cpp
std::span<const PyMethodDef> ping_functions();    // api_ping.cpp

// The TdxClient methods with the fast-call convention, terminated by a null entry.
PyMethodDef* client_methods();
// The module functions, in the order they become module attributes; null-terminated.
PyMethodDef* module_functions();

}  // namespace pelmora::py
