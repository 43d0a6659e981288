#include "web/router.h"

namespace tandemize::web {

TMethodType MethodTypeFromText(std::string_view aMethod) {
  if (aMethod == "GET") return mtGet;
  if (aMethod == "PUT") return mtPut;
  if (aMethod == "POST") return mtPost;
  if (aMethod == "HEAD") return mtHead;
  if (aMethod == "DELETE") return mtDelete;
  if (aMethod == "PATCH") return mtPatch;
  return mtAny;
}

TSegmentQueue SplitPath(std::string_view aPath) {
  TSegmentQueue queue;
  std::size_t pos = 0;
  bool first = true;
  while (true) {
    const std::size_t slash = aPath.find('/', pos);
    const std::string_view piece =
        aPath.substr(pos, slash == std::string_view::npos ? std::string_view::npos : slash - pos);
    if (first || !piece.empty()) queue.emplace_back(piece);
    first = false;
    if (slash == std::string_view::npos) break;
    pos = slash + 1;
  }
  return queue;
}

// The runner of one node visit: middlewares first, then descent or the
// node's callbacks. Only an exception stops the chain.
class TNextCaller {
 public:
  TNextCaller(TRelayRouterTree& aNode, TSegmentQueue& aQueue, TMethodType aMethod,
              TRelayRequest& aRequest, TRelayResponse& aResponse, bool* aFound, bool aIsGroup)
      : FNode(aNode),
        FQueue(aQueue),
        FMethod(aMethod),
        FRequest(aRequest),
        FResponse(aResponse),
        FFound(aFound),
        FIsGroup(aIsGroup) {}

  void Init() {
    std::string taken;
    if (!FIsGroup && !FQueue.empty()) {
      taken = std::move(FQueue.front());
      FQueue.pop_front();
    }
    FIndex = -1;
    FIndexCallback = -1;
    if (FNode.FIsRegex) {
      std::string value;
      try {
        value = PercentDecode(taken, false);
      } catch (const std::invalid_argument&) {
        value = taken;
      }
      FRequest.Params().Dictionary()[FNode.FTag] = std::move(value);
    }
  }

  void Next() {
    const auto middlewareCount = static_cast<int>(FNode.FMiddleware.size());
    ++FIndex;
    if (FIndex < middlewareCount) {
      *FFound = true;
      FNode.FMiddleware[FIndex](FRequest, FResponse, FNextProc);
      if (FIndex < middlewareCount) Next();
    } else if (!FQueue.empty()) {
      *FFound = FNode.CallNextPath(FQueue, FMethod, FRequest, FResponse);
    } else {
      ++FIndexCallback;
      const auto list = FNode.FCallBack.find(FMethod);
      if (list != FNode.FCallBack.end()) {
        if (FIndexCallback < static_cast<int>(list->second.size())) {
          *FFound = true;
          RunCallback(list->second[FIndexCallback]);
          Next();
        }
      } else if (!FNode.FCallBack.empty()) {
        *FFound = true;
        FResponse.Send("Method Not Allowed").Status(405);
      } else {
        FResponse.Send("Not Found").Status(404);
      }
    }
    if (!*FFound) FResponse.Send("Not Found").Status(404);
  }

 private:
  void RunCallback(const TRelayCallback& aCallback) {
    try {
      aCallback(FRequest, FResponse, FNextProc);
    } catch (const ERelayException&) {
      throw;
    } catch (const ERelayCallbackInterrupted&) {
      throw;
    } catch (...) {
      if (FResponse.Status() < 400) FResponse.Send("Internal Application Error").Status(500);
      throw;
    }
  }

  TRelayRouterTree& FNode;
  TSegmentQueue& FQueue;
  TMethodType FMethod;
  TRelayRequest& FRequest;
  TRelayResponse& FResponse;
  bool* FFound;
  bool FIsGroup;
  int FIndex = -1;
  int FIndexCallback = -1;
  const TNextProc FNextProc = [this] { Next(); };
};

TSegmentQueue TRelayRouterTree::SplitWithPrefix(std::string_view aPath) const {
  std::string full = FPrefix;
  if (!aPath.starts_with('/')) full += '/';
  full += aPath;
  return SplitPath(full);
}

TRelayRouterTree& TRelayRouterTree::ForcePath(const std::string& aKey) {
  auto& child = FRoute[aKey];
  if (!child) child = std::make_unique<TRelayRouterTree>();
  return *child;
}

void TRelayRouterTree::TakePart(TSegmentQueue& aQueue) {
  std::string part = std::move(aQueue.front());
  aQueue.pop_front();
  if (!FIsInitialized) {
    FPart = std::move(part);
    FIsRegex = FPart.starts_with(':');
    FTag = FPart.empty() ? std::string() : FPart.substr(1);
    FIsInitialized = true;
  }
}

void TRelayRouterTree::RegisterRoute(TMethodType aMethod, std::string_view aPath,
                                     TRelayCallback aCallback) {
  TSegmentQueue queue = SplitWithPrefix(aPath);
  RegisterInternal(aMethod, queue, std::move(aCallback));
}

void TRelayRouterTree::RegisterMiddleware(std::string_view aPath, TRelayCallback aCallback) {
  TSegmentQueue queue = SplitWithPrefix(aPath);
  RegisterMiddlewareInternal(queue, std::move(aCallback));
}

void TRelayRouterTree::RegisterInternal(TMethodType aMethod, TSegmentQueue& aQueue,
                                        TRelayCallback aCallback) {
  TakePart(aQueue);
  if (aQueue.empty()) {
    FCallBack[aMethod].push_back(std::move(aCallback));
    return;
  }
  const std::string key = aQueue.front();
  TRelayRouterTree& child = ForcePath(key);
  child.RegisterInternal(aMethod, aQueue, std::move(aCallback));
  if (child.FIsRegex) FRegexedKeys.push_back(key);
}

void TRelayRouterTree::RegisterMiddlewareInternal(TSegmentQueue& aQueue, TRelayCallback aCallback) {
  TakePart(aQueue);
  if (aQueue.empty()) {
    FMiddleware.push_back(std::move(aCallback));
    return;
  }
  const std::string key = aQueue.front();
  TRelayRouterTree& child = ForcePath(key);
  child.RegisterMiddlewareInternal(aQueue, std::move(aCallback));
  if (child.FIsRegex) FRegexedKeys.push_back(key);
}

bool TRelayRouterTree::Execute(TRelayRequest& aRequest, TRelayResponse& aResponse) {
  TSegmentQueue queue = SplitPath(aRequest.RawWebRequest().RawPath);
  return ExecuteInternal(queue, aRequest.MethodType(), aRequest, aResponse, false);
}

bool TRelayRouterTree::ExecuteInternal(TSegmentQueue& aQueue, TMethodType aMethod,
                                       TRelayRequest& aRequest, TRelayResponse& aResponse,
                                       bool aIsGroup) {
  bool found = false;
  TNextCaller caller(*this, aQueue, aMethod, aRequest, aResponse, &found, aIsGroup);
  caller.Init();
  caller.Next();
  return found;
}

bool TRelayRouterTree::CallNextPath(TSegmentQueue& aQueue, TMethodType aMethod,
                                    TRelayRequest& aRequest, TRelayResponse& aResponse) {
  const std::string& next = aQueue.front();
  bool isGroup = false;
  auto child = FRoute.find(next);
  if (child == FRoute.end()) {
    child = FRoute.find(std::string());
    isGroup = child != FRoute.end();
  }
  if (child == FRoute.end()) {
    const std::vector<std::string> segments(aQueue.begin(), aQueue.end());
    for (const std::string& key : FRegexedKeys) {
      TRelayRouterTree& candidate = *FRoute.at(key);
      if (candidate.CanReach(aMethod, segments, 0)) {
        return candidate.ExecuteInternal(aQueue, aMethod, aRequest, aResponse, false);
      }
    }
    return false;
  }
  return child->second->ExecuteInternal(aQueue, aMethod, aRequest, aResponse, isGroup);
}

bool TRelayRouterTree::CanReach(TMethodType aMethod, const std::vector<std::string>& aSegments,
                                std::size_t aIndex) const {
  if (aIndex >= aSegments.size()) return false;
  if (aIndex == aSegments.size() - 1 && (aSegments[aIndex] == FPart || FIsRegex)) {
    return HasCallbacks(aMethod) || aMethod == mtAny;
  }
  ++aIndex;
  if (aIndex >= aSegments.size()) return false;
  const auto child = FRoute.find(aSegments[aIndex]);
  if (child != FRoute.end()) return child->second->CanReach(aMethod, aSegments, aIndex);
  for (const std::string& key : FRegexedKeys) {
    if (FRoute.at(key)->CanReach(aMethod, aSegments, aIndex)) return true;
  }
  return false;
}

}  // namespace tandemize::web
