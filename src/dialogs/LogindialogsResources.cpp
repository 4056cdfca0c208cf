#include "dialogs/LogindialogsResources.h"

#include <QtGlobal>

void initLogindialogsResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(logindialogs);
        return true;
    }();
    Q_UNUSED(done);
}
