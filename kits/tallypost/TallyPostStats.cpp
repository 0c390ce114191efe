#include "kits/tallypost/TallyPostStats.h"

#include "kits/tallypost/TallyPost.h"

void TallyPostStats::postQuickStat(const QString& name, double count, const QString& account) {
    if (QVOutsideServices::infoValue(QStringLiteral("QVStatURL")).isEmpty() || account.isEmpty()) return;
    TallyPost::postQuickStatCount(name, count, account);
}
