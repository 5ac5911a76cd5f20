// Command routing of the application object: a static table of {command id, member function}
// per class, chained to the base class's table, and the macros that declare and fill it.
#pragma once

#include "platform/win32.h"

class CWinApp;

// The framework's Help command.
#ifndef ID_HELP
#define ID_HELP 0xE146
#endif

// A command handler: a member function of the application class without arguments.
typedef void (CWinApp::*AFX_PMSG)();

// One routing entry; an entry with nID 0 ends a table.
struct AFX_MSGMAP_ENTRY {
  UINT nID;
  AFX_PMSG pfn;
};

// A class's table and the table of its base class (null for the root of the chain).
struct AFX_MSGMAP {
  const AFX_MSGMAP* pBaseMap;
  const AFX_MSGMAP_ENTRY* lpEntries;
};

// The first entry of one table (not its base tables) that handles nID, or null.
const AFX_MSGMAP_ENTRY* AfxFindMessageEntry(const AFX_MSGMAP_ENTRY* lpEntries, UINT nID);

// In the class body of a class derived from CWinApp.
#define DECLARE_MESSAGE_MAP()                             \
 private:                                                 \
  static const AFX_MSGMAP_ENTRY _messageEntries[];        \
                                                          \
 protected:                                               \
  static const AFX_MSGMAP messageMap;                     \
                                                          \
 public:                                                  \
  const AFX_MSGMAP* GetMessageMap() const override;

// In the class's source file; ON_COMMAND lines go between BEGIN_ and END_MESSAGE_MAP.
#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                            \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return &theClass::messageMap; }      \
  const AFX_MSGMAP theClass::messageMap = {&baseClass::messageMap,                        \
                                           &theClass::_messageEntries[0]};                \
  const AFX_MSGMAP_ENTRY theClass::_messageEntries[] = {
#define ON_COMMAND(id, memberFxn) {static_cast<UINT>(id), static_cast<AFX_PMSG>(&memberFxn)},
#define END_MESSAGE_MAP() \
  { 0, nullptr }          \
  }                       \
  ;
