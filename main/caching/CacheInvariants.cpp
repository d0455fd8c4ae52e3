#include "caching/CacheInvariants.h"

#include "velcore/AppConfig.h"
#include "velcore/SessionActorInfo.h"
#include "velcoredata/FeatureFlags.h"
#include "velcoreplatform/TLog.h"

namespace velmora::caching {

const TString siteLuidAttributeName("site-luid");
const TString userLuidAttributeName("user-luid");

namespace {

bool ComputeSkipEnforcement() {
    const AppConfig& config = AppConfig::GetInstance();
    return !FeatureFlags::IsOn(kCacheInvariantEnforcementFlag) || config.IsPublicServer() ||
           config.IsDesktopClient() || config.IsSecondDesktopProduct() ||
           config.IsFurtherHostVariant() || config.GetTestMode() || config.GetUnitTestFlag() ||
           config.GetIsExternalProtocolServer();
}

bool ComputeQuietFailures() {
    const AppConfig& config = AppConfig::GetInstance();
    return config.IsDesktopClient() || config.IsSecondDesktopProduct() || config.IsPublicServer() ||
           config.GetIsExternalProtocolServer();
}

bool IsMissing(const TString& luid) {
    return luid.isEmpty() || luid == TString("-");
}

}  // namespace

ConstraintEnforcementResult EnforceCacheInvariantsWithUpsert(AttributeMap& attributes,
                                                             CacheScope scope) {
    // Each decided once per process, on the first call, under thread-safe static initialisation.
    static const bool skipEnforcement = ComputeSkipEnforcement();
    static const bool quietFailures = ComputeQuietFailures();

    const auto actor = SessionActorInfo::GetSessionActorInfoFromThread();
    const TString siteLuid = actor ? actor->GetSiteLuid() : TString();
    if (!IsMissing(siteLuid)) {
        if (!skipEnforcement) attributes[siteLuidAttributeName] = siteLuid;
    } else {
        if (!quietFailures) {
            TLog::LogMessage(TLog::Warn, TFormatString(TString("CacheInvariant failure on siteLuid "
                                                               "skipEnforcement(%1)"),
                                                       int(skipEnforcement)));
        }
        if (!skipEnforcement) return ConstraintEnforcementResult::MissingSiteLuid;
    }

    if (scope != CacheScope::PerUser) return ConstraintEnforcementResult::Passed;

    const TString userLuid = actor ? actor->GetUserLuid() : TString();
    if (!IsMissing(userLuid)) {
        attributes[userLuidAttributeName] = userLuid;
        return ConstraintEnforcementResult::Passed;
    }
    if (!quietFailures) {
        TLog::LogMessage(TLog::Warn, TFormatString(TString("CacheInvariant failure on userLuid "
                                                           "skipEnforcement(%1)"),
                                                   int(skipEnforcement)));
    }
    if (!skipEnforcement) return ConstraintEnforcementResult::MissingUserLuid;
    attributes[userLuidAttributeName] = userLuid;
    return ConstraintEnforcementResult::Passed;
}

TString ConstraintEnforcementResultToString(ConstraintEnforcementResult result) {
    static const std::unordered_map<std::int32_t, TString> s_words = {
        {0, TString("none")},
        {1, TString("missing-site-luid")},
        {2, TString("missing-user-luid")},
        {3, TString("passed")},
    };
    const auto it = s_words.find(static_cast<std::int32_t>(result));
    return it == s_words.end() ? TString("unknown") : it->second;
}

}  // namespace velmora::caching
