#include "vantro/parser/SensorMsgParser.hpp"

#include <vector>

#include <fmt/format.h>

#include "vantro/parser/TableMsgParser.hpp"

namespace vantro {
namespace {

/// One parser per row of the kind table, alive for the whole process, so
/// that getParser() can hand out plain pointers.
const std::vector<parser::TableMsgParser>& tableParsers() {
  static const std::vector<parser::TableMsgParser> parsers = [] {
    std::vector<parser::TableMsgParser> out;
    for (const parser::SensorKind& kind : parser::sensorKinds()) out.emplace_back(kind);
    return out;
  }();
  return parsers;
}

}  // namespace

SensorMsgParser::SensorMsgParser() {
  tableParsers();
}

const SpecificMsgParser* SensorMsgParser::getParser(ByteView payload) const {
  for (const parser::TableMsgParser& p : tableParsers()) {
    if (p.accepts(payload)) return &p;
  }
  return nullptr;
}

std::string SensorMsgParser::toString(const ParsedMsg& parsedMsg) const {
  std::string out = parsedMsg.kind;
  for (const ParsedMsg::Field& f : parsedMsg.fields) {
    out += fmt::format(" {}={:.{}f}", f.name, f.value, f.decimals < 0 ? 0 : f.decimals);
  }
  return out;
}

}  // namespace vantro
