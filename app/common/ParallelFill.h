#pragma once

#include <QtGlobal>

#include <functional>
#include <utility>

class ListBox;

/** The two lists a reply is cut into: odd items to the first, even items to the second. */
using ListPair = std::pair<ListBox*, ListBox*>;

/** Cuts ReplyText item by item from the front into two parallel lists, as both windows fill their
 *  lists, letting the window system process pending events before the first item and again
 *  whenever a millisecond of filling has passed, so input and timers wait at most that long.
 *  Only those events can change anything, so after each run lists() is asked again (a window may
 *  have been replaced meanwhile) and keepGoing(), when given, ends the fill when false. Returns
 *  the items added. */
qsizetype FillParallelLists(const std::function<ListPair()>& lists,
                            const std::function<bool()>& keepGoing = {});
