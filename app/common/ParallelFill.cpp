#include "app/common/ParallelFill.h"

#include "platform/ui/ListBox.h"
#include "web/Functions1.h"

#include <QCoreApplication>

#include <chrono>

namespace {

/** How long the loop may add items before it lets the event loop run again. Asking the event loop
 *  costs a system call and several locks even when nothing is pending, which is most of the cost
 *  of an item; a millisecond is far below anything a user can notice. */
constexpr std::chrono::microseconds kEventSlice{1000};

} // namespace

qsizetype FillParallelLists(const std::function<ListPair()>& lists,
                            const std::function<bool()>& keepGoing)
{
    using Clock = std::chrono::steady_clock;
    qsizetype added = 0;
    QString item;
    Clock::time_point due; // the epoch: events run before the first item
    ListPair target;
    while (ReplyText.containsSeparator()) {
        if (Clock::now() >= due) {
            QCoreApplication::processEvents();
            due = Clock::now() + kEventSlice;
            // A handler that ran meanwhile may have taken the reply or the lists over.
            if (keepGoing && !keepGoing()) break;
            target = lists();
        }
        if (!ReplyText.takeItem(item)) break;
        (added % 2 == 0 ? target.first : target.second)->AddItem(item);
        ++added;
    }
    return added;
}
