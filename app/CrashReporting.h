// Crash reporting for the application: the crash kits the launch starts (capture from launch,
// whatever the consent; reports of earlier runs sent only with consent and a configured
// endpoint, else packaged to wait) and the permission alert.
#pragma once

void installCrashReporting();
