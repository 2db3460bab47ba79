// TEMPORARY: front-end state only, so that every unit links; replaced by the real front end.
#include "KivraWwiseCommHandlerKivraInterface.h"

std::mutex m_wrapper_lock_;
KivraWwiseCommWrapper* m_wrapper = nullptr;
kivra::media::IMediaEngine* m_kivra_media_engine = nullptr;
