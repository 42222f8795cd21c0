#include "view/view_model.h"

#include <algorithm>
#include <cctype>

namespace tessel::view {
namespace {

std::string lowered(std::string_view text) {
  std::string result{text};
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

bool matches(const SessionInfo& session, const std::string& needle) {
  if (needle.empty()) return true;
  std::string haystack = session.title + '\n' + session.project + '\n' + session.id() + '\n' +
                         session.live.cwd + '\n' + session.model.value_or("");
  if (session.lastEvent) {
    haystack += '\n' + session.lastEvent->tool + '\n' + session.lastEvent->summary;
  }
  return lowered(haystack).find(needle) != std::string::npos;
}

void move(ViewState& state, const ActivitySnapshot& snapshot, long by) {
  const auto rows = visibleSessions(snapshot, state);
  if (rows.empty()) return;
  const SessionInfo* current = selectedSession(rows, state);
  const auto at = std::find(rows.begin(), rows.end(), current) - rows.begin();
  const long last = static_cast<long>(rows.size()) - 1;
  state.selectedId = rows[static_cast<size_t>(std::clamp(at + by, 0L, last))]->id();
}

void switchTo(ViewState& state, Screen screen) {
  state.screen = screen;
  state.isDetail = false;
  state.scroll = 0;
}

bool typeFilter(ViewState& state, const Key& key) {
  switch (key.kind) {
    case Key::Kind::enter:
      state.isTypingFilter = false;
      break;
    case Key::Kind::escape:
      state.isTypingFilter = false;
      state.filter.clear();
      break;
    case Key::Kind::backspace:
      // Drops the last whole character, continuation bytes included.
      while (!state.filter.empty()) {
        const auto byte = static_cast<unsigned char>(state.filter.back());
        state.filter.pop_back();
        if ((byte & 0xC0) != 0x80) break;
      }
      break;
    case Key::Kind::character:
      if (key.character >= 0x20 && key.character < 0x7f) {
        state.filter += static_cast<char>(key.character);
      }
      break;
    default:
      break;
  }
  return true;
}

}  // namespace

std::vector<const SessionInfo*> visibleSessions(const ActivitySnapshot& snapshot,
                                                const ViewState& state) {
  const std::string needle = lowered(state.filter);
  std::vector<const SessionInfo*> rows;
  for (const auto& session : snapshot.sessions) {
    if (matches(session, needle)) rows.push_back(&session);
  }
  if (state.showsCodex) {
    for (const auto& session : snapshot.codexSessions) {
      if (matches(session, needle)) rows.push_back(&session);
    }
  }
  return rows;
}

const SessionInfo* selectedSession(const std::vector<const SessionInfo*>& rows,
                                   const ViewState& state) {
  if (rows.empty()) return nullptr;
  if (state.selectedId) {
    for (const SessionInfo* row : rows) {
      if (row->id() == *state.selectedId) return row;
    }
  }
  return rows.front();
}

bool handleKey(ViewState& state, const Key& key, const ActivitySnapshot& snapshot) {
  if (state.isTypingFilter) return typeFilter(state, key);
  if (state.showsHelp) {
    // Any key closes the help, as in htop; q still quits.
    state.showsHelp = false;
    return !(key.kind == Key::Kind::character && key.character == 'q');
  }
  const bool listsSessions = state.screen == Screen::sessions && !state.isDetail;
  switch (key.kind) {
    case Key::Kind::up:
      if (listsSessions)
        move(state, snapshot, -1);
      else if (state.scroll > 0)
        --state.scroll;
      return true;
    case Key::Kind::down:
      if (listsSessions)
        move(state, snapshot, 1);
      else
        ++state.scroll;
      return true;
    case Key::Kind::pageUp:
      if (listsSessions)
        move(state, snapshot, -10);
      else
        state.scroll -= std::min<size_t>(state.scroll, 10);
      return true;
    case Key::Kind::pageDown:
      if (listsSessions)
        move(state, snapshot, 10);
      else
        state.scroll += 10;
      return true;
    case Key::Kind::home:
      if (listsSessions) move(state, snapshot, -1000000);
      state.scroll = 0;
      return true;
    case Key::Kind::end:
      if (listsSessions) move(state, snapshot, 1000000);
      return true;
    case Key::Kind::enter:
      if (listsSessions && !visibleSessions(snapshot, state).empty()) {
        state.selectedId = selectedSession(visibleSessions(snapshot, state), state)->id();
        state.isDetail = true;
        state.scroll = 0;
      }
      return true;
    case Key::Kind::escape:
      if (state.isDetail) {
        state.isDetail = false;
        state.scroll = 0;
      } else {
        state.filter.clear();
      }
      return true;
    case Key::Kind::tab:
      switchTo(state, static_cast<Screen>((static_cast<int>(state.screen) + 1) % 4));
      return true;
    case Key::Kind::backTab:
      switchTo(state, static_cast<Screen>((static_cast<int>(state.screen) + 3) % 4));
      return true;
    case Key::Kind::backspace:
      return true;
    case Key::Kind::character:
      break;
  }
  switch (key.character) {
    case 'q':
      return false;
    case 'k':
      return handleKey(state, Key{Key::Kind::up}, snapshot);
    case 'j':
      return handleKey(state, Key{Key::Kind::down}, snapshot);
    case '1':
    case '2':
    case '3':
    case '4':
      switchTo(state, static_cast<Screen>(key.character - '1'));
      return true;
    case '/':
      switchTo(state, Screen::sessions);
      state.isTypingFilter = true;
      return true;
    case 'c':
      state.showsCodex = !state.showsCodex;
      return true;
    case 'p':
      state.isPaused = !state.isPaused;
      return true;
    case '?':
    case 'h':
      state.showsHelp = true;
      return true;
    default:
      return true;
  }
}

}  // namespace tessel::view
