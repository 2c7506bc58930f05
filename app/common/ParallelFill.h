#pragma once

#include <QtGlobal>

#include <functional>
#include <utility>

class ListBox;

/** The two lists a reply is cut into: odd items to the first, even items to the second. */
using ListPair = std::pair<ListBox*, ListBox*>;

/** Cuts ReplyText item by item from the front into two parallel lists, letting the window
 *  system process pending events before each item, as both windows fill their lists. lists()
 *  is asked again for every item (a window may have been replaced meanwhile); keepGoing(), when
 *  given, is asked after the events ran and ends the fill when false. Returns the items added. */
qsizetype FillParallelLists(const std::function<ListPair()>& lists,
                            const std::function<bool()>& keepGoing = {});
