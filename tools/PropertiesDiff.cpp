#include "tools/PropertiesDiff.h"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

// One step of the alignment of the two files' marked lines: a line both have
// (by class name), one only the old file has, or one only the new file has.
struct Step {
  enum Kind { kBoth, kOld, kNew } kind;
  size_t before = 0;  // index into the old file's marked lines
  size_t after = 0;   // index into the new file's
};

// The longest common sequence of class names, so that an inserted or removed
// marked line shows as itself rather than as every line below it changing.
// The lines both files begin and end with are matched first: an edit is
// mostly local, and only what lies between costs a table.
std::vector<Step> Align(const std::vector<MarkedEntry>& before,
                        const std::vector<MarkedEntry>& after) {
  const auto same = [&](size_t i, size_t j) { return before[i].className == after[j].className; };
  size_t first = 0;
  while (first < before.size() && first < after.size() && same(first, first)) ++first;
  size_t n = before.size();
  size_t m = after.size();
  while (n > first && m > first && same(n - 1, m - 1)) --n, --m;
  // Beyond this many cells (two files of some 2,000 marked lines each that
  // share next to nothing) the middle counts as replaced as a whole.
  constexpr size_t kMaxCells = 4'000'000;
  const size_t rows = n - first + 1;
  const size_t columns = m - first + 1;
  std::vector<uint32_t> common(rows * columns <= kMaxCells ? rows * columns : 0, 0);
  const auto at = [&](size_t i, size_t j) -> uint32_t& {
    return common[(i - first) * columns + (j - first)];
  };
  if (!common.empty()) {
    for (size_t i = n; i-- > first;) {
      for (size_t j = m; j-- > first;) {
        at(i, j) = same(i, j) ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
      }
    }
  }
  std::vector<Step> steps;
  for (size_t k = 0; k < first; ++k) steps.push_back({Step::kBoth, k, k});
  size_t i = first;
  size_t j = first;
  while (i < n || j < m) {
    if (i < n && j < m && !common.empty() && same(i, j)) {
      steps.push_back({Step::kBoth, i++, j++});
    } else if (j == m || (i < n && (common.empty() || at(i + 1, j) >= at(i, j + 1)))) {
      steps.push_back({Step::kOld, i++, j});
    } else {
      steps.push_back({Step::kNew, i, j++});
    }
  }
  for (; i < before.size(); ++i, ++j) steps.push_back({Step::kBoth, i, j});
  return steps;
}

// Each class's mapped entry: the first marked line of its name that maps.
std::map<std::string, const MarkedEntry*> Mapped(const CheckReport& report) {
  std::map<std::string, const MarkedEntry*> mapped;
  for (const MarkedEntry& entry : report.marked) {
    if (entry.mapped) mapped.emplace(entry.className, &entry);
  }
  return mapped;
}

DiffSide SideOf(const MarkedEntry& entry) {
  return {entry.line, entry.id, entry.category.value_or("")};
}

// The line of |report| that names |className| yet marks nothing, if any.
const UnmarkedClass* Unmarked(const CheckReport& report, const std::string& className) {
  for (const UnmarkedClass& unmarked : report.unmarked) {
    if (unmarked.className == className) return &unmarked;
  }
  return nullptr;
}

// The marked lines of |from| that map nothing and name a class that no
// marked line of |other| names.
std::vector<DiffClass> OnlyMappingNothing(const CheckReport& from, const CheckReport& other) {
  std::vector<DiffClass> classes;
  for (const MarkedEntry& entry : from.marked) {
    const bool named = std::any_of(other.marked.begin(), other.marked.end(),
                                   [&](const auto& e) { return e.className == entry.className; });
    if (!entry.mapped && !entry.className.empty() && !named) {
      classes.push_back({entry.className, SideOf(entry)});
    }
  }
  return classes;
}

class ShiftFinder {
 public:
  ShiftFinder(const CheckReport& before, const CheckReport& after)
      : before_(before.marked), after_(after.marked), now_(after), steps_(Align(before_, after_)) {}

  std::vector<Shift> Find() {
    std::vector<Shift> shifts;
    std::vector<std::string> parts;
    int move = 0;
    for (const Step& step : steps_) {
      if (step.kind == Step::kOld) {
        parts.push_back(Removal(before_[step.before]));
        --move;
        continue;
      }
      if (step.kind == Step::kNew) {
        parts.push_back(Insertion(after_[step.after]));
        ++move;
        continue;
      }
      if (move != 0) shifts.push_back({Join(parts), static_cast<int>(parts.size()), 0, 0, move});
      parts.clear();
      move = 0;
      const MarkedEntry& old = before_[step.before];
      const MarkedEntry& now = after_[step.after];
      if (shifts.empty() || !old.mapped) continue;
      if (now.mapped && old.category != now.category) ++shifts.back().classes;
      if (!now.mapped && !now.category) ++shifts.back().lost;
    }
    shifts.erase(std::remove_if(shifts.begin(), shifts.end(),
                                [](const Shift& shift) { return shift.classes + shift.lost == 0; }),
                 shifts.end());
    return shifts;
  }

 private:
  std::string Removal(const MarkedEntry& entry) const {
    const std::optional<int> to = Unmatched(Step::kNew, entry.className);
    std::string what = "removed";
    if (to) {
      what = "moved to line " + std::to_string(*to);
    } else if (const UnmarkedClass* unmarked = Unmarked(now_, entry.className)) {
      what = "unmarked" +
             (unmarked->line == entry.line ? "" : " on line " + std::to_string(unmarked->line)) +
             " (" + unmarked->why + ")";
    }
    return "line " + std::to_string(entry.line) + " (" + entry.className + ") " + what;
  }

  std::string Insertion(const MarkedEntry& entry) const {
    const std::optional<int> from = Unmatched(Step::kOld, entry.className);
    return "line " + std::to_string(entry.line) + " (" + entry.className + ") " +
           (from ? "moved from line " + std::to_string(*from) : std::string("inserted"));
  }

  // The line of an unmatched marked line of |className| on the |kind| side.
  std::optional<int> Unmatched(Step::Kind kind, const std::string& className) const {
    for (const Step& step : steps_) {
      if (step.kind != kind) continue;
      const MarkedEntry& entry = kind == Step::kOld ? before_[step.before] : after_[step.after];
      if (entry.className == className) return entry.line;
    }
    return std::nullopt;
  }

  static std::string Join(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
  }

  const std::vector<MarkedEntry>& before_;
  const std::vector<MarkedEntry>& after_;
  const CheckReport& now_;
  std::vector<Step> steps_;
};

std::string SideText(const DiffSide& side) {
  return "line " + std::to_string(side.line) + ", id " + std::to_string(side.id) +
         (side.category.empty() ? " (no category)" : " (\"" + side.category + "\")");
}

// "3 added" or "3 added (1 of them mapping nothing)"
std::string Count(size_t mapping, size_t mappingNothing, const char* what) {
  return std::to_string(mapping + mappingNothing) + " " + what +
         (mappingNothing == 0
              ? ""
              : " (" + std::to_string(mappingNothing) + " of them mapping nothing)");
}

std::string Summary(const DiffReport& report) {
  if (report.Empty()) return "no class added, removed or moved";
  return Count(report.added.size(), report.addedMappingNothing.size(), "added") + ", " +
         Count(report.removed.size(), report.removedMappingNothing.size(), "removed") + ", " +
         std::to_string(report.changed.size()) + " moved to another category";
}

void PrintText(const DiffReport& report, std::ostream& out) {
  size_t width = 0;
  for (const auto& list :
       {report.added, report.removed, report.addedMappingNothing, report.removedMappingNothing}) {
    for (const DiffClass& c : list) width = std::max(width, c.className.size());
  }
  for (const ChangedClass& c : report.changed) width = std::max(width, c.className.size());
  const auto row = [&out, width](const char* what, const std::string& className) -> std::ostream& {
    return out << std::left << std::setw(9) << what << std::setw(static_cast<int>(width) + 2)
               << className;
  };
  for (const DiffClass& c : report.added) row("added", c.className) << SideText(c.side) << "\n";
  for (const DiffClass& c : report.addedMappingNothing) {
    row("added", c.className) << SideText(c.side) << ": maps nothing\n";
  }
  for (const DiffClass& c : report.removed) {
    if (c.unmarked.empty()) {
      row("removed", c.className) << SideText(c.side) << "\n";
    } else {
      row("unmarked", c.className) << SideText(c.side) << "; " << c.unmarked << "\n";
    }
  }
  for (const DiffClass& c : report.removedMappingNothing) {
    row("removed", c.className) << SideText(c.side) << ": mapped nothing\n";
  }
  for (const ChangedClass& c : report.changed) {
    row("changed", c.className) << SideText(c.before) << " -> " << SideText(c.after) << "\n";
  }
  for (const Shift& shift : report.shifts) out << ShiftText(shift) << "\n";
  out << Summary(report) << "\n";
}

nlohmann::ordered_json SideJson(const DiffSide& side) {
  return {{"line", side.line}, {"id", side.id}, {"category", side.category}};
}

void PrintJson(const DiffReport& report, std::ostream& out) {
  nlohmann::ordered_json document = {{"added", nlohmann::ordered_json::array()},
                                     {"removed", nlohmann::ordered_json::array()},
                                     {"changed", nlohmann::ordered_json::array()},
                                     {"shifts", nlohmann::ordered_json::array()}};
  const auto classJson = [](const DiffClass& c, bool mapsNothing) {
    nlohmann::ordered_json entry = {{"className", c.className}};
    entry.update(SideJson(c.side));
    if (mapsNothing) entry["mapsNothing"] = true;
    if (!c.unmarked.empty()) entry["unmarked"] = c.unmarked;
    return entry;
  };
  for (const DiffClass& c : report.added) document["added"].push_back(classJson(c, false));
  for (const DiffClass& c : report.addedMappingNothing) {
    document["added"].push_back(classJson(c, true));
  }
  for (const DiffClass& c : report.removed) document["removed"].push_back(classJson(c, false));
  for (const DiffClass& c : report.removedMappingNothing) {
    document["removed"].push_back(classJson(c, true));
  }
  for (const ChangedClass& c : report.changed) {
    document["changed"].push_back(
        {{"className", c.className}, {"old", SideJson(c.before)}, {"new", SideJson(c.after)}});
  }
  for (const Shift& shift : report.shifts) {
    document["shifts"].push_back({{"cause", shift.cause},
                                  {"classes", shift.classes},
                                  {"lost", shift.lost},
                                  {"move", shift.move},
                                  {"text", ShiftText(shift)}});
  }
  out << document.dump(2) << "\n";
}

}  // namespace

std::string ShiftText(const Shift& shift) {
  const int by = std::abs(shift.move);
  const std::string where =
      by == 1 ? (shift.move > 0 ? "to the next category" : "to the previous category")
              : std::to_string(by) + (shift.move > 0 ? " categories on" : " categories back");
  std::string text = shift.cause + ": " + std::to_string(shift.classes) +
                     (shift.classes == 1 ? " class below " : " classes below ") +
                     (shift.lines == 1 ? "it " : "them ") +
                     (shift.classes == 1 ? "moves " : "move ") + where;
  if (shift.lost > 0) {
    text += "; " + std::to_string(shift.lost) +
            (shift.lost == 1 ? " more passes the last category and maps nothing"
                             : " more pass the last category and map nothing");
  }
  return text;
}

DiffReport DiffMappings(const CheckReport& before, const CheckReport& after) {
  DiffReport report;
  const auto old = Mapped(before);
  const auto now = Mapped(after);
  for (const MarkedEntry& entry : after.marked) {
    if (entry.mapped && !old.count(entry.className)) {
      report.added.push_back({entry.className, SideOf(entry)});
    }
  }
  for (const MarkedEntry& entry : before.marked) {
    if (!entry.mapped) continue;
    const auto there = now.find(entry.className);
    if (there == now.end()) {
      const UnmarkedClass* unmarked = Unmarked(after, entry.className);
      report.removed.push_back(
          {entry.className, SideOf(entry),
           unmarked ? "on line " + std::to_string(unmarked->line) + " " + unmarked->why : ""});
    } else if (*there->second->category != *entry.category) {
      report.changed.push_back({entry.className, SideOf(entry), SideOf(*there->second)});
    }
  }
  report.addedMappingNothing = OnlyMappingNothing(after, before);
  report.removedMappingNothing = OnlyMappingNothing(before, after);
  report.shifts = ShiftFinder(before, after).Find();
  return report;
}

int RunDiff(const DiffSettings& settings, std::ostream& out, std::ostream& err) {
  std::string error;
  auto fail = [&err](const std::string& why) {
    err << "qelevent-tool diff: " << why << "\n";
    return kCouldNotRun;
  };
  std::ifstream before;
  std::ifstream after;
  if (!OpenPropertiesFile(settings.before, before, error)) return fail(error);
  if (!OpenPropertiesFile(settings.after, after, error)) return fail(error);

  std::vector<fs::path> folders{settings.after.parent_path(), settings.before.parent_path()};
  if (!settings.module) {
    std::string ignored;
    if (const std::optional<fs::path> defaultCi = DefaultCiFolder(settings.server, ignored)) {
      folders.push_back(*defaultCi);
    }
  }
  fs::path module;
  StringTable strings;
  if (!FindStringTable(settings.module, folders, settings.server, module, strings, error)) {
    return fail(error);
  }

  const CheckReport old = CheckProperties(before, strings);
  const CheckReport now = CheckProperties(after, strings);
  // The plug-in maps nothing from such a file; the listing then shows every
  // class as added or removed, and this says why.
  for (const auto& [path, report] : {std::pair{&settings.before, &old}, {&settings.after, &now}}) {
    if (report->error) err << path->string() << ": warning: " << *report->error << "\n";
  }
  const DiffReport report = DiffMappings(old, now);
  if (settings.json) {
    PrintJson(report, out);
  } else {
    out << settings.before.u8string() << " -> " << settings.after.u8string() << " (categories from "
        << module.u8string() << ")\n";
    PrintText(report, out);
  }
  if (now.MapsNothing()) {
    if (!now.error) PrintFileFindings(now, settings.after.u8string(), err);
    return kMapsNothing;
  }
  return report.Empty() ? kAllWell : kFindings;
}

}  // namespace qel::tool
