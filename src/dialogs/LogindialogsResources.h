#pragma once

// The dialogs' pictures live in a static library, whose resources must be registered by hand.
void initLogindialogsResources();
