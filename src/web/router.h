#pragma once
// The router tree: one node per path segment, holding middlewares and the
// callbacks per method, and the chain runner that walks it for one request.

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "web/relay_request.h"
#include "web/relay_types.h"

namespace tandemize::web {

using TSegmentQueue = std::deque<std::string>;

// Splits a path at "/": the first piece is always kept (the empty text the root
// stands for), later empty pieces are dropped, so "/a//b/" and "/a/b" agree.
TSegmentQueue SplitPath(std::string_view aPath);

class TRelayRouterTree {
 public:
  TRelayRouterTree() = default;
  TRelayRouterTree(const TRelayRouterTree&) = delete;
  TRelayRouterTree& operator=(const TRelayRouterTree&) = delete;

  void RegisterRoute(TMethodType aMethod, std::string_view aPath, TRelayCallback aCallback);
  void RegisterMiddleware(std::string_view aPath, TRelayCallback aCallback);
  // Runs the chain for the request's raw path; true when anything answered.
  bool Execute(TRelayRequest& aRequest, TRelayResponse& aResponse);

  // Whether the remaining segments, from aIndex on, can end at a node with
  // callbacks for aMethod (any node when aMethod is mtAny).
  bool CanReach(TMethodType aMethod, const std::vector<std::string>& aSegments,
                std::size_t aIndex) const;

  const std::string& Prefix() const { return FPrefix; }
  void Prefix(std::string aPrefix) { FPrefix = std::move(aPrefix); }

 private:
  friend class TNextCaller;

  TSegmentQueue SplitWithPrefix(std::string_view aPath) const;
  TRelayRouterTree& ForcePath(const std::string& aKey);
  void TakePart(TSegmentQueue& aQueue);
  void RegisterInternal(TMethodType aMethod, TSegmentQueue& aQueue, TRelayCallback aCallback);
  void RegisterMiddlewareInternal(TSegmentQueue& aQueue, TRelayCallback aCallback);
  bool ExecuteInternal(TSegmentQueue& aQueue, TMethodType aMethod, TRelayRequest& aRequest,
                       TRelayResponse& aResponse, bool aIsGroup);
  bool CallNextPath(TSegmentQueue& aQueue, TMethodType aMethod, TRelayRequest& aRequest,
                    TRelayResponse& aResponse);
  bool HasCallbacks(TMethodType aMethod) const { return FCallBack.contains(aMethod); }

  std::string FPart;
  std::string FTag;
  bool FIsRegex = false;
  bool FIsInitialized = false;
  std::vector<TRelayCallback> FMiddleware;
  std::map<TMethodType, std::vector<TRelayCallback>> FCallBack;
  std::unordered_map<std::string, std::unique_ptr<TRelayRouterTree>> FRoute;
  std::vector<std::string> FRegexedKeys;
  std::string FPrefix;
};

}  // namespace tandemize::web
