// The live view of an update for a person: the plan with a marker on the
// current step, each step's result as it lands, a progress bar from the
// percent figures, the elapsed time and the verdict of the result report.
//
// It reads the status file as the daemon writes it: announcements
// ("%-22.22s started ... "), results ("OK\n", " NOK\n", ...), the version
// report, error texts, and progress figures of 12 characters ("%3d percent "),
// which the daemon rewrites in place at the file's end or appends anew; so
// the view is handed the whole text after the start request every time and
// works out the state from it.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace admin {

struct StepView {
  // done: ended without a known result text; notRun: the update finished
  // before the step's turn.
  enum class Phase { pending, running, ok, nok, skipped, done, notRun };
  std::string key;    // the plan's keyword, "" when the plan is not known
  std::string label;  // the label of the status file ("Read PS-Keys:")
  Phase phase = Phase::pending;
  int percent = -1;                // the last progress figure, -1 for none
  std::vector<std::string> notes;  // version report rows, error texts
  // Seconds after the start request at which the view first saw the step
  // begun and ended; -1 while not seen.
  double startedAt = -1;
  double endedAt = -1;
};
// "OK", "NOK", "nothing to do", "done", "running", "not run", "" (pending).
const char* phaseText(StepView::Phase phase);

struct UpdateView {
  std::vector<StepView> steps;
  std::vector<std::string> notesBefore;  // texts before the first announcement
  std::string finishLine;                // "*UPDATE_FINISHED* ... OK" once written
};

// The update as the status file text after the start request shows it,
// with the steps of the plan (keywords from updatetodo.txt) in front.
UpdateView readStatus(const std::string& text, const std::vector<std::string>& planKeys);
// The keywords of a to-do file, as the daemon reads them (at most 20).
std::vector<std::string> readPlan(const std::string& todoText);

class StatusView {
 public:
  // Plain lines: one line per event, for a file or a pipe. Terminal: the
  // whole view redrawn in place.
  enum class Style { lines, terminal };
  // readPlanFile gives the text of updatetodo.txt ("" when unreadable).
  StatusView(std::ostream& out, Style style, std::string title,
             std::function<std::string()> readPlanFile, int width = 80);

  // The start request went out; the elapsed time counts from here.
  void started(double now);
  // The status file text written since the start request.
  void statusText(double now, const std::string& text);
  // A line about the link (a datagram, a send that failed).
  void message(double now, const std::string& text);
  // The verdict: the result report's text, or why there is none.
  void verdict(double now, const std::string& text);
  // Redraws the elapsed time on a terminal.
  void tick(double now);
  // On a terminal whose input the session echoes itself: the line being
  // typed, shown below the view; endTyping takes it away for good.
  void typing(double now, const std::string& text);
  void endTyping();

  // The update as last read, and the seconds from the start request to the
  // verdict (-1 before it).
  const UpdateView& update() const { return shown_; }
  double verdictSeconds() const { return endTime_ >= 0 ? endTime_ - startTime_ : -1; }

 private:
  std::string stamp(double now) const;
  std::string elapsed(double now) const;
  std::string numbered(size_t index) const;
  void printChanges(double now, const UpdateView& next);
  void redraw(double now);
  std::string stepLine(size_t index) const;

  std::ostream& out_;
  Style style_;
  std::string title_;
  std::function<std::string()> readPlanFile_;
  size_t width_;
  bool started_ = false;
  double startTime_ = 0;
  double endTime_ = -1;  // when the verdict came
  bool planRead_ = false;
  std::vector<std::string> plan_;
  UpdateView shown_;
  std::string verdict_;
  std::string lastMessage_;
  bool prompting_ = false;
  std::string typed_;
  size_t drawnLines_ = 0;  // line ends since the view's first line
  double drawnAt_ = -1;
};

}  // namespace admin
