// Document notifications: the dispatcher the module attaches to the host's
// document manager, and the base class of client document reactors.
#pragma once
#include <acdocman.h>
#include "kovaexport.h"
#include "kovafanout.h"

class KOVADocReactorDispatcher : public AcApDocManagerReactor, public KOVARetirable {
 public:
  KOVADocReactorDispatcher();
  ~KOVADocReactorDispatcher() override;

  void documentCreateStarted(AcApDocument* pDocCreating) override;
  void documentCreated(AcApDocument* pDocCreating) override;
  void documentToBeDestroyed(AcApDocument* pDocToDestroy) override;
  void documentDestroyed(const ACHAR* fileName) override;
  void documentCreateCanceled(AcApDocument* pDocCreateCancelled) override;
  void documentLockModeWillChange(AcApDocument*, AcAp::DocLockMode myCurrentMode, AcAp::DocLockMode myNewMode,
                                  AcAp::DocLockMode currentMode, const ACHAR* pGlobalCmdName) override;
  void documentLockModeChangeVetoed(AcApDocument*, const ACHAR* pGlobalCmdName) override;
  void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode myPreviousMode, AcAp::DocLockMode myCurrentMode,
                               AcAp::DocLockMode currentMode, const ACHAR* pGlobalCmdName) override;
  void documentBecameCurrent(AcApDocument*) override;
  void documentToBeActivated(AcApDocument* pActivatingDoc) override;
  void documentToBeDeactivated(AcApDocument* pDeActivatedDoc) override;
  void documentActivationModified(bool bActivation) override;
  void documentActivated(AcApDocument* pActivatedDoc) override;

  void attachToHost() override;
  void detachFromHost() override;

 private:
  template <class Call>
  void fanOut(const char* name, Call&& call);
  template <class Call>
  void forward(const char* name, Call&& call);
  void detachDatabaseDispatcher(AcApDocument* doc);
};

// Client document reactors derive from this: registered at priority -1
// from construction to destruction; KOVAVeto asks for the lock change being
// announced to documentLockModeChanged to be vetoed.
class KOVA_EXPORT KOVADocReactorBase : public AcApDocManagerReactor {
 public:
  KOVADocReactorBase();
  KOVADocReactorBase(const KOVADocReactorBase& other);
  KOVADocReactorBase& operator=(const KOVADocReactorBase& other);
  ~KOVADocReactorBase() override;
  void KOVAVeto();

 private:
  friend class KOVADocReactorDispatcher;
  bool m_bVeto;
};
