// The live view's screens, each a pure function from the data and the user's place in
// it to lines no wider than the canvas. `render` puts a screen between the header and
// the key line; the others build the part between.
#pragma once

#include <vector>

#include "util/date.h"
#include "view/frame.h"
#include "view/view_model.h"

namespace tessel::view {

struct Canvas {
  size_t width = 80;
  size_t height = 24;
  bool isAscii = false;  // no UTF-8 locale: ASCII symbols and shades only
  Date now{};

  const Glyphs& glyphs() const { return Glyphs::forTerminal(isAscii); }
};

// The whole terminal: exactly `canvas.height` lines (fewer on a terminal too small to
// hold the header), none wider than `canvas.width`, and ASCII only when asked.
Frame render(const ViewData& data, const ViewState& state, const Canvas& canvas);

// `rows` lines at most; the selected row kept in sight.
std::vector<Line> sessionsScreen(const ViewData& data, const ViewState& state, const Canvas& canvas,
                                 size_t rows);
std::vector<Line> detailScreen(const ViewData& data, const SessionInfo& session,
                               const Canvas& canvas, size_t rows);
std::vector<Line> environmentsScreen(const ViewData& data, const Canvas& canvas);
std::vector<Line> usageScreen(const ViewData& data, const Canvas& canvas);
std::vector<Line> systemScreen(const ViewData& data, const Canvas& canvas);

// Shared by the screens.
namespace Look {

Tone stateTone(SessionInfo::State state);
std::string_view stateSymbol(SessionInfo::State state, const Glyphs& glyphs);
// The state word and the title shown for `session` (the id's start when it has none).
std::string titleOf(const SessionInfo& session);
// The tool call in progress with its summary, or how long the session has been quiet.
std::string activityOf(const SessionInfo& session);
// The title of the session with `id`, running or ended; the id's start when unknown.
std::string sessionTitle(const ViewData& data, const std::string& id);
// A local time: "14:05" within the day ahead, else "Mon 14:05".
std::string clockTime(Date date, Date now);
// A section head: the words in the title tone.
Line heading(std::string_view words);
// One process: pid, CPU, memory, then as much of its command as fits.
Line processLine(const ProcessEntry& process, const Canvas& canvas);

}  // namespace Look
}  // namespace tessel::view
