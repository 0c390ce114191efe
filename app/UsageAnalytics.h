// Installs the usage-analytics client and the stat service, and routes the usage events that
// projects and the information window make through the one gate of QVOutsideServices::track
// (consent, token and address).
#pragma once

void installUsageAnalytics();
