// The document's hooks into the layers above it; see hooks.h.
#include "document/hooks.h"

DocumentHooks document_hooks = {};
