// The live view of an update; see status_view.h.
#include "admin_side/status_view.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace admin {
namespace {

// The daemon's steps: the keyword of the to-do file and the label of the
// status file.
struct StepName {
  const char* key;
  const char* label;
};
const StepName stepNames[] = {
    {"CHECK_VERSIONS", "Version Check:"},
    {"BT_MOD_SET_READ", "Read PS-Keys:"},
    {"BT_MOD_SET_COMP", "Compare PS-Keys:"},
    {"BT_MOD_SET_NEW_WRITE", "Write diff. PS-Keys:"},
    {"BT_MOD_SET_ALL_WRITE", "Write all PS-Keys:"},
    {"BT_MOD_SET_FIRM_STACK", "Update Trilo Firmware:"},
    {"LAP_SOFTWARE", "Update skq Software:"},
};
constexpr size_t maxPlanSteps = 20;

// "%-22.22s started ... " at the start of a line.
constexpr size_t labelWidth = 22;
constexpr const char* startedText = " started ... ";
constexpr size_t announcementSize = 22 + 13;
constexpr const char* finishPrefix = "*UPDATE_FINISHED* ... ";
constexpr const char* progressText = " percent ";  // behind a figure of up to 3 characters
constexpr size_t barWidth = 20;

const char* labelOf(const std::string& key) {
  for (const StepName& step : stepNames)
    if (key == step.key) return step.label;
  return "";
}

bool startsWith(const std::string& text, size_t at, const char* prefix) {
  return text.compare(at, std::strlen(prefix), prefix) == 0;
}

bool endsWith(const std::string& text, const char* suffix) {
  size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

std::string trimmed(const std::string& text, bool left) {
  size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return "";
  size_t begin = left ? text.find_first_not_of(" \t\r\n") : 0;
  return text.substr(begin, end - begin + 1);
}

bool isAnnouncement(const std::string& text, size_t at) {
  return text.size() >= at + announcementSize && text[at] != ' ' && text[at] != '\n' &&
         text.compare(at + labelWidth, std::strlen(startedText), startedText) == 0;
}

// Takes the progress figures out of a step's text; the last one is the
// step's progress.
std::string withoutFigures(const std::string& text, int* percent) {
  std::string rest;
  const size_t n = std::strlen(progressText);
  size_t from = 0;
  for (size_t at; (at = text.find(progressText, from)) != std::string::npos; from = at + n) {
    size_t digits = at;
    while (digits > from && at - digits < 3 && std::isdigit(static_cast<unsigned char>(text[digits - 1])))
      --digits;
    if (digits == at) {  // " percent " in some other text
      rest += text.substr(from, at + n - from);
      continue;
    }
    size_t begin = digits;
    while (begin > from && at - begin < 3 && text[begin - 1] == ' ') --begin;
    *percent = std::atoi(text.substr(digits, at - digits).c_str());
    if (*percent > 100) *percent = 100;
    rest += text.substr(from, begin - from);
  }
  return rest + text.substr(from);
}

// The daemon's texts that reach the status file without a line end, so
// that the text behind them runs on in the same line.
const char* const unendedTexts[] = {"open error ",      "ioctl error ",
                                    "invalid length ",  "invalid parameter length ",
                                    "BT Reset failed: ", "Update step timed out !!!"};
constexpr const char* timedOutText = "Update step timed out !!!";

// The text with each of those texts on a line of its own: a line break in
// front of one that follows other text, and behind the fixed time-out text.
std::string withUnendedTextsOnLines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    for (const char* start : unendedTexts) {
      if (!out.empty() && out.back() != '\n' && startsWith(text, i, start)) {
        out += '\n';
        break;
      }
    }
    out += text[i];
    if (endsWith(out, timedOutText) && i + 1 < text.size() && text[i + 1] != '\n') out += '\n';
  }
  return out;
}

// The lines of a text, trimmed, without empty ones; a last line without its
// line end only when complete is set.
std::vector<std::string> linesOf(const std::string& joined, bool keepIndent, bool complete) {
  const std::string text = withUnendedTextsOnLines(joined);
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos && !complete) break;
    std::string line = trimmed(text.substr(from, end == std::string::npos ? end : end - from),
                               !keepIndent);
    if (!line.empty()) lines.push_back(line);
    if (end == std::string::npos) break;
    from = end + 1;
  }
  return lines;
}

// A step's phase, progress and notes from its text; closed when the next
// announcement or the finish line follows it. A text that begins with "OK"
// is the version check's: its report rows follow the result.
void readStep(const std::string& text, bool closed, StepView* step) {
  std::string body = withoutFigures(text, &step->percent);
  auto cut = [&body](const char* ending) {
    if (!endsWith(body, ending)) return false;
    body.erase(body.size() - std::strlen(ending));
    return true;
  };
  using Phase = StepView::Phase;
  bool report = false;
  if (startsWith(body, 0, "OK\n")) {
    step->phase = Phase::ok;
    body.erase(0, 3);
    report = true;
  } else if (cut("NOK\n nothing done... try again\n")) {
    step->phase = Phase::nok;
    body += "\nnothing done... try again";
  } else if (cut("NOK\n")) {
    step->phase = Phase::nok;
  } else if (cut("nothing to do ... OK\n")) {
    step->phase = Phase::skipped;
  } else if (cut("OK\n")) {
    step->phase = Phase::ok;
  } else {
    step->phase = closed ? Phase::done : Phase::running;
  }
  // Lines still being written count once the step is over.
  step->notes = linesOf(body, report, closed || (!report && step->phase != Phase::running));
}

}  // namespace

const char* phaseText(StepView::Phase phase) {
  switch (phase) {
    case StepView::Phase::ok: return "OK";
    case StepView::Phase::nok: return "NOK";
    case StepView::Phase::skipped: return "nothing to do";
    case StepView::Phase::done: return "done";
    case StepView::Phase::running: return "running";
    case StepView::Phase::notRun: return "not run";
    case StepView::Phase::pending: break;
  }
  return "";
}

namespace {

bool finished(StepView::Phase phase) {
  return phase != StepView::Phase::pending && phase != StepView::Phase::running;
}

std::string bar(int percent) {
  size_t filled = static_cast<size_t>(percent) * barWidth / 100;
  char figure[8];
  std::snprintf(figure, sizeof figure, "%3d %%", percent);
  return "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "] " + figure;
}

// The version report's rows: "   %-19.19s %-23.23s %-22.22s %-20.20s", the
// part's name ("Trilo Firmware ...") and the old version, the new one and
// whether it is to be updated, under a header with "|" between its titles.
constexpr size_t reportColumns[] = {3, 23, 47, 70};
constexpr size_t reportFields = sizeof reportColumns / sizeof reportColumns[0];

bool isReportHeader(const std::string& note) {
  return startsWith(note, note.find_first_not_of(' '), "part:") && note.find('|') != std::string::npos;
}

// The notes of a step for the terminal: the version report as a table whose
// columns are as wide as their texts, the other notes as they are.
std::vector<std::string> tableOf(const std::vector<std::string>& notes) {
  std::vector<std::vector<std::string>> rows;
  bool report = false;
  for (const std::string& note : notes) {
    if (isReportHeader(note)) {
      report = true;
      rows.push_back({"part", "old version", "new version", "update ?"});
      continue;
    }
    if (!report || note.size() <= reportColumns[1] || note.compare(0, 3, "   ") != 0 ||
        note[3] == ' ') {
      rows.push_back({note});  // an error text, or a row of some other form
      continue;
    }
    std::vector<std::string> fields;
    for (size_t i = 0; i < reportFields; ++i) {
      size_t end = i + 1 < reportFields ? reportColumns[i + 1] : note.size();
      std::string field = trimmed(note.substr(reportColumns[i], end - reportColumns[i]), true);
      if (i == 0 && endsWith(field, " ...")) field = trimmed(field.substr(0, field.size() - 4), true);
      fields.push_back(field);
    }
    rows.push_back(fields);
  }
  size_t widths[reportFields] = {};
  for (const auto& row : rows)
    for (size_t i = 0; row.size() == reportFields && i < reportFields; ++i)
      if (row[i].size() > widths[i]) widths[i] = row[i].size();
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    if (row.size() != reportFields) {
      lines.push_back(trimmed(row[0], true));
      continue;
    }
    std::string line;
    for (size_t i = 0; i < reportFields; ++i) {
      line += row[i];
      if (i + 1 < reportFields) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    lines.push_back(line);
  }
  return lines;
}

// A line cut into pieces shorter than width, at blanks where it can be;
// the pieces after the first indented by 4 more than the line.
std::vector<std::string> wrapped(const std::string& line, size_t width) {
  std::vector<std::string> pieces;
  size_t indent = line.find_first_not_of(' ');
  if (indent == std::string::npos) indent = 0;
  indent = indent + 4 < width / 2 ? indent + 4 : width / 2;
  std::string rest = line;
  while (rest.size() >= width) {
    size_t cut = rest.rfind(' ', width - 1);
    const size_t first = pieces.empty() ? rest.find_first_not_of(' ') : indent;
    if (cut == std::string::npos || cut <= first) cut = width - 1;
    pieces.push_back(rest.substr(0, cut));
    size_t next = rest.find_first_not_of(' ', cut);
    rest = std::string(indent, ' ') + (next == std::string::npos ? "" : rest.substr(next));
  }
  if (pieces.empty() || rest.find_first_not_of(' ') != std::string::npos) pieces.push_back(rest);
  return pieces;
}

std::string clock(double seconds) {
  long whole = seconds < 0 ? 0 : static_cast<long>(seconds);
  char text[48];
  std::snprintf(text, sizeof text, "%02ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

std::vector<std::string> readPlan(const std::string& todoText) {
  std::vector<std::string> keys;
  std::istringstream lines(todoText);
  std::string line;
  while (std::getline(lines, line) && keys.size() < maxPlanSteps) {
    if (line.empty() || line[0] == '#') continue;
    for (const StepName& step : stepNames) {
      if (startsWith(line, 0, step.key)) {
        keys.push_back(step.key);
        break;
      }
    }
  }
  return keys;
}

UpdateView readStatus(const std::string& text, const std::vector<std::string>& planKeys) {
  UpdateView view;
  // Finish lines of the ticks before the daemon took the start request.
  size_t begin = 0;
  while (startsWith(text, begin, finishPrefix) && text.find('\n', begin) != std::string::npos)
    begin = text.find('\n', begin) + 1;

  std::vector<size_t> announcements;
  size_t finish = std::string::npos;
  for (size_t line = begin; line < text.size();) {
    if (isAnnouncement(text, line)) {
      announcements.push_back(line);
    } else if (!announcements.empty() && startsWith(text, line, finishPrefix) &&
               text.find('\n', line) != std::string::npos) {
      finish = line;
      break;
    }
    size_t end = text.find('\n', line);
    if (end == std::string::npos) break;
    line = end + 1;
  }
  if (finish != std::string::npos)
    view.finishLine = text.substr(finish, text.find('\n', finish) - finish);

  const size_t notesEnd = announcements.empty() ? text.size() : announcements[0];
  for (const std::string& line : linesOf(text.substr(begin, notesEnd - begin), false, false))
    if (!startsWith(line, 0, finishPrefix)) view.notesBefore.push_back(line);

  size_t count = announcements.size() > planKeys.size() ? announcements.size() : planKeys.size();
  for (size_t i = 0; i < count; ++i) {
    StepView step;
    if (i < planKeys.size()) {
      step.key = planKeys[i];
      step.label = labelOf(step.key);
    }
    if (i < announcements.size()) {
      std::string label = trimmed(text.substr(announcements[i], labelWidth), true);
      if (label != step.label) step.key.clear();  // the plan file is not this update's
      step.label = label;
      bool last = i + 1 == announcements.size();
      size_t from = announcements[i] + announcementSize;
      size_t to = !last ? announcements[i + 1] : finish != std::string::npos ? finish : text.size();
      readStep(text.substr(from, to - from), !last || finish != std::string::npos, &step);
    } else if (finish != std::string::npos) {
      step.phase = StepView::Phase::notRun;
    }
    view.steps.push_back(step);
  }
  return view;
}

StatusView::StatusView(std::ostream& out, Style style, std::string title,
                       std::function<std::string()> readPlanFile, int width)
    : out_(out),
      style_(style),
      title_(std::move(title)),
      readPlanFile_(std::move(readPlanFile)),
      width_(width > 20 ? static_cast<size_t>(width) : 80) {}

void StatusView::started(double now) {
  started_ = true;
  startTime_ = now;
  endTime_ = -1;
  planRead_ = false;
  plan_.clear();
  shown_ = UpdateView();
  verdict_.clear();
  message(now, "start request sent");
}

std::string StatusView::elapsed(double now) const {
  if (!started_) return "--:--";
  return clock((endTime_ >= 0 ? endTime_ : now) - startTime_);
}

std::string StatusView::stamp(double now) const { return "[" + elapsed(now) + "] "; }

std::string StatusView::numbered(size_t index) const {
  std::string text = std::to_string(index + 1);
  if (!plan_.empty()) text += "/" + std::to_string(shown_.steps.size());
  return text + " " + shown_.steps[index].label;
}

void StatusView::statusText(double now, const std::string& text) {
  if (!started_) return;
  if (!planRead_ && text.find(startedText) != std::string::npos) {
    plan_ = readPlan(readPlanFile_());
    planRead_ = true;
  }
  UpdateView next = readStatus(text, plan_);
  for (size_t i = 0; i < next.steps.size(); ++i) {
    StepView& step = next.steps[i];
    if (i < shown_.steps.size()) {
      step.startedAt = shown_.steps[i].startedAt;
      step.endedAt = shown_.steps[i].endedAt;
    }
    if (step.phase == StepView::Phase::pending || step.phase == StepView::Phase::notRun) continue;
    if (step.startedAt < 0) step.startedAt = now - startTime_;
    if (finished(step.phase) && step.endedAt < 0) step.endedAt = now - startTime_;
  }
  if (style_ == Style::lines) {
    printChanges(now, next);
  } else {
    bool changed = next.steps.size() != shown_.steps.size() || next.finishLine != shown_.finishLine ||
                   next.notesBefore.size() != shown_.notesBefore.size();
    for (size_t i = 0; !changed && i < next.steps.size(); ++i)
      changed = next.steps[i].phase != shown_.steps[i].phase ||
                next.steps[i].percent != shown_.steps[i].percent ||
                next.steps[i].notes != shown_.steps[i].notes;
    shown_ = next;
    if (changed) redraw(now);
  }
}

void StatusView::printChanges(double now, const UpdateView& next) {
  const std::string at = stamp(now);
  if (shown_.steps.empty() && !plan_.empty() && !next.steps.empty()) {
    std::string keys;
    for (const std::string& key : plan_) keys += (keys.empty() ? "" : " ") + key;
    out_ << at << "plan: " << keys << " (" << plan_.size() << " steps)\n";
  }
  for (size_t i = shown_.notesBefore.size(); i < next.notesBefore.size(); ++i)
    out_ << at << next.notesBefore[i] << "\n";
  const UpdateView previous = shown_;
  shown_ = next;
  for (size_t i = 0; i < next.steps.size(); ++i) {
    const StepView before = i < previous.steps.size() ? previous.steps[i] : StepView();
    const StepView& step = next.steps[i];
    if (step.phase == StepView::Phase::pending) continue;
    if (before.phase == StepView::Phase::pending && !finished(step.phase))
      out_ << at << numbered(i) << " started\n";
    if (step.percent >= 0 && step.percent != before.percent)
      out_ << at << numbered(i) << " " << bar(step.percent) << "\n";
    if (finished(step.phase) && !finished(before.phase))
      out_ << at << numbered(i) << " " << phaseText(step.phase) << "\n";
    for (size_t n = before.notes.size(); n < step.notes.size(); ++n)
      out_ << "        " << step.notes[n] << "\n";
  }
  if (previous.finishLine.empty() && !next.finishLine.empty())
    out_ << at << "finish line: " << next.finishLine << "\n";
  out_.flush();
}

std::string StatusView::stepLine(size_t index) const {
  const StepView& step = shown_.steps[index];
  std::string line = step.phase == StepView::Phase::running ? "-> " : "   ";
  std::string name = numbered(index);
  if (name.size() < 30) name.resize(30, ' ');
  line += name + " ";
  if (step.phase == StepView::Phase::running && step.percent >= 0)
    line += bar(step.percent);
  else
    line += phaseText(step.phase);
  return line;
}

void StatusView::redraw(double now) {
  std::vector<std::string> lines;
  lines.push_back(title_ + "   " +
                  (started_ ? "elapsed " + elapsed(now) : std::string("waiting for a start request")));
  for (const std::string& note : shown_.notesBefore) lines.push_back("   " + note);
  for (size_t i = 0; i < shown_.steps.size(); ++i) {
    lines.push_back(stepLine(i));
    if (finished(shown_.steps[i].phase) || shown_.steps[i].phase == StepView::Phase::pending)
      for (const std::string& note : tableOf(shown_.steps[i].notes)) lines.push_back("        " + note);
  }
  if (!shown_.finishLine.empty()) lines.push_back("finish line: " + shown_.finishLine);
  if (!verdict_.empty()) lines.push_back("result: " + verdict_);
  if (!lastMessage_.empty()) lines.push_back(lastMessage_);

  // Back to the view's first line; every line shorter than the terminal, so
  // that each takes one row. The line being typed comes last, the cursor
  // behind it.
  if (drawnLines_ > 0) out_ << "\x1b[" << drawnLines_ << "A";
  out_ << "\r\x1b[J";
  drawnLines_ = 0;
  for (const std::string& line : lines) {
    for (const std::string& piece : wrapped(line, width_)) {
      out_ << piece << "\n";
      ++drawnLines_;
    }
  }
  if (prompting_) {
    std::vector<std::string> pieces = wrapped("> " + typed_, width_);
    for (size_t i = 0; i < pieces.size(); ++i) {
      out_ << pieces[i];
      if (i + 1 < pieces.size()) {
        out_ << "\n";
        ++drawnLines_;
      }
    }
  }
  out_.flush();
  drawnAt_ = now;
}

void StatusView::message(double now, const std::string& text) {
  if (style_ == Style::lines) {
    out_ << stamp(now) << text << "\n";
    out_.flush();
    return;
  }
  lastMessage_ = text;
  redraw(now);
}

void StatusView::verdict(double now, const std::string& text) {
  verdict_ = text;
  endTime_ = now;
  if (style_ == Style::lines) {
    out_ << stamp(now) << "result: " << text << "\n";
    out_.flush();
    return;
  }
  redraw(now);
}

void StatusView::typing(double now, const std::string& text) {
  if (style_ != Style::terminal) return;
  prompting_ = true;
  typed_ = text;
  redraw(now);
}

void StatusView::endTyping() {
  if (!prompting_) return;
  prompting_ = false;
  out_ << "\r\x1b[K";
  out_.flush();
}

void StatusView::tick(double now) {
  if (style_ == Style::terminal && started_ && endTime_ < 0 && now - drawnAt_ >= 1.0) redraw(now);
}

}  // namespace admin
