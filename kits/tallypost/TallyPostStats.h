// The stat service the application installs (QVOutsideServices::setStats): each counter is one
// TallyPost in the "ez" form to the configured address; none configured, nothing is sent.
#pragma once

#include "shell/QVOutsideServices.h"

class TallyPostStats final : public QVStatService {
public:
    void postQuickStat(const QString& name, double count, const QString& account) override;
};
