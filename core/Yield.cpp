#include "core/Yield.h"

#include <QCoreApplication>

namespace tw {

namespace {
int depth = 0;
}

HandlerScope::HandlerScope() {
    ++depth;
}
HandlerScope::~HandlerScope() {
    --depth;
}
bool HandlerScope::active() {
    return depth > 0;
}

void yieldToWindowSystem() {
    HandlerScope scope;
    QCoreApplication::processEvents();
}

} // namespace tw
