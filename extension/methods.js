// The names the page API offers: the control's 29 script methods in their
// dispatch order and the seven events it fires, and the longest call the
// host takes (bytes of UTF-8 JSON). A classic script, loaded
// before page_api.js in the page's world and imported by the service worker;
// content.js keeps a copy of the methods in its own world. The host's table
// is the reference; a unit test compares them all.
(() => {
  'use strict';

  const names = Object.freeze({
    methods: Object.freeze([
      'EncodeRequest', 'DecodeRequest', 'ExecuteRequest', 'SearchCard', 'ReadLogFile', 'SetMode', 'GetMode',
      'GetReaderList', 'GetCardATR', 'ConnectCard', 'ConnectCardEx', 'DisConnectCard', 'DisConnectCardEx',
      'GetLastErrorCode', 'GetErrorText', 'SendToCard', 'SendIOCTL', 'BeginTransaction', 'EndTransaction',
      'EndTransactionEx', 'GetCardStatus', 'IsCardRemoved', 'GetVersion', 'Reset', 'Hex2Str', 'Str2Hex',
      'EnableEvents', 'DisableEvents', 'Open',
    ]),
    events: Object.freeze([
      'OnCardReady', 'OnCardError', 'OnCardRemoved', 'OnReaderAdded', 'OnReaderRemoved', 'OnCardInuse', 'OnCardUnused',
    ]),
    maxCallBytes: 1048576,
  });
  // Configurable so that page_api.js can take it off the page's window once
  // it holds its own reference.
  Object.defineProperty(globalThis, 'VEXA_METHODS', { value: names, configurable: true, enumerable: false, writable: false });
})();
