// The framework's document, as far as the application object needs it: the
// single-document template creates one, runs its open, and at the end runs
// its close and destroys it.
//
// Ownership: CApp owns the document it created (see CApp::SetDocumentFactory)
// from creation until its close has run; UI thread only.
#pragma once

class CDocument {
 public:
  virtual ~CDocument() = default;
  // The open of a new document; false ends start-up.
  virtual bool OnNewDocument() { return true; }
  // Runs once, on the way out, before the document is destroyed.
  virtual void OnCloseDocument() {}
};
