// A part of a language bundle built by another subsystem.
#include "languages/QVBundleComponent.h"

QVBundleComponent::~QVBundleComponent() = default;
