#include "velcore/SessionActorInfo.h"

namespace {
thread_local std::shared_ptr<const SessionActorInfo> t_actor;
}

std::shared_ptr<const SessionActorInfo> SessionActorInfo::GetSessionActorInfoFromThread() {
    return t_actor;
}

velmora::ScopedSessionActor::ScopedSessionActor(std::shared_ptr<const SessionActorInfo> actor)
    : m_previous(std::exchange(t_actor, std::move(actor))) {}

velmora::ScopedSessionActor::~ScopedSessionActor() {
    t_actor = std::move(m_previous);
}
