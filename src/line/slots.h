// The places of a fixture by name: a slots file holds lines "BUS-PATH NAME" ("1-2.4 A3"), blank
// lines and lines starting with '#'. Each place and each name is given once; a name is one word
// of printable ASCII characters.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace line {

struct Slot {
    std::string place; // as "1-2.4", whatever way the file wrote it
    std::string name;
};

class SlotTable {
  public:
    SlotTable() = default;
    explicit SlotTable(std::vector<Slot> slots) : slots_(std::move(slots)) {}

    // The name of the slot at `place` ("1-2.4"); none when no slot is there.
    [[nodiscard]] std::optional<std::string> name_of(const std::string& place) const;
    [[nodiscard]] const std::vector<Slot>& slots() const { return slots_; }

  private:
    std::vector<Slot> slots_;
};

// The slots of `text`, a slots file's content. On a refusal, `error` holds why and the result is
// empty; `error_line` is the number of the line refused (from 1).
std::optional<SlotTable> parse_slots(std::string_view text, std::string& error,
                                     std::size_t& error_line);

// The slots file at `path`, read and parsed. On a refusal, `error` holds one line for the user
// that names the file and, for a line refused, its number.
std::optional<SlotTable> read_slots(const std::string& path, std::string& error);

} // namespace line
